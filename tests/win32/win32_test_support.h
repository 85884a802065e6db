// Helpers of the Win32 tests: where the stand-in programs are, scratch
// folders, environment variables set for one test, files read whole.
#pragma once

#include <windows.h>
#include <tlhelp32.h>

#include <string>

#include <gtest/gtest.h>

// The stand-ins are built next to the test programs, and travel with them
// in the kit.
inline std::wstring ToolPath(const wchar_t* name) {
  wchar_t self[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring path(self, length);
  return path.substr(0, path.find_last_of(L'\\') + 1) + name;
}

inline std::wstring FakeWslPath() {
  return ToolPath(L"fake_wsl.exe");
}

inline std::string Utf8(const std::wstring& text) {
  std::string bytes(text.size() * 3, '\0');
  const int count = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &bytes[0],
                                        static_cast<int>(bytes.size()), nullptr, nullptr);
  bytes.resize(count > 0 ? static_cast<size_t>(count) : 0);
  return bytes;
}

inline bool PathExists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

inline bool CreateEmptyFile(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  CloseHandle(file);
  return true;
}

inline bool WriteWholeFile(const std::wstring& path, const std::string& bytes) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const bool wrote = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
                     written == bytes.size();
  CloseHandle(file);
  return wrote;
}

// The file's bytes; empty when it does not exist.
inline std::string ReadWholeFile(const std::wstring& path) {
  std::string bytes;
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return bytes;
  char chunk[4096];
  DWORD count = 0;
  while (ReadFile(file, chunk, sizeof chunk, &count, nullptr) && count > 0) bytes.append(chunk, count);
  CloseHandle(file);
  return bytes;
}

inline void RemoveTree(const std::wstring& path) {
  WIN32_FIND_DATAW entry;
  HANDLE find = FindFirstFileW((path + L"\\*").c_str(), &entry);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      const std::wstring name = entry.cFileName;
      if (name == L"." || name == L"..") continue;
      const std::wstring child = path + L"\\" + name;
      if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveTree(child);
      } else {
        DeleteFileW(child.c_str());
      }
    } while (FindNextFileW(find, &entry));
    FindClose(find);
  }
  RemoveDirectoryW(path.c_str());
}

// A new, empty folder under the temporary folder, removed with its content
// when the object goes.
class ScratchFolder {
 public:
  explicit ScratchFolder(const wchar_t* tag) {
    wchar_t temp[MAX_PATH];
    const DWORD length = GetTempPathW(MAX_PATH, temp);
    std::wstring base(temp, length);
    if (!base.empty() && base.back() == L'\\') base.pop_back();
    for (unsigned attempt = 0; path_.empty() && attempt < 1000; ++attempt) {
      const std::wstring candidate = base + L"\\qv-" + tag + L"-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                                     std::to_wstring(attempt);
      if (CreateDirectoryW(candidate.c_str(), nullptr)) path_ = candidate;
    }
  }
  ~ScratchFolder() {
    if (!path_.empty()) RemoveTree(path_);
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  const std::wstring& path() const { return path_; }
  std::wstring operator/(const std::wstring& name) const { return path_ + L"\\" + name; }

 private:
  std::wstring path_;
};

// One environment variable of this process, changed for one test and put
// back as it was afterwards.
class ScopedVariable {
 public:
  explicit ScopedVariable(const wchar_t* name) : name_(name) {
    wchar_t value[32768];
    const DWORD length = GetEnvironmentVariableW(name, value, 32768);
    had_value_ = length > 0 || GetLastError() != ERROR_ENVVAR_NOT_FOUND;
    if (length < 32768) saved_.assign(value, length);
  }
  ~ScopedVariable() { SetEnvironmentVariableW(name_.c_str(), had_value_ ? saved_.c_str() : nullptr); }
  ScopedVariable(const ScopedVariable&) = delete;
  ScopedVariable& operator=(const ScopedVariable&) = delete;

  void Set(const std::wstring& value) { SetEnvironmentVariableW(name_.c_str(), value.c_str()); }
  void Unset() { SetEnvironmentVariableW(name_.c_str(), nullptr); }

 private:
  std::wstring name_;
  std::wstring saved_;
  bool had_value_ = false;
};

// A "hex" statement of the stand-in that writes `text` as UTF-16LE, as
// wsl.exe prints its own messages and lists.
inline std::wstring Utf16LeHexStatement(const std::wstring& text) {
  static const wchar_t kDigits[] = L"0123456789abcdef";
  std::wstring statement = L"hex ";
  for (wchar_t unit : text) {
    const unsigned value = static_cast<unsigned>(unit);
    const unsigned bytes[2] = {value & 0xFF, (value >> 8) & 0xFF};
    for (unsigned byte : bytes) {
      statement += kDigits[byte >> 4];
      statement += kDigits[byte & 15];
    }
  }
  return statement;
}

// Waits, at most `seconds`, until no process this one started is still
// running; false when some still are.
inline bool WaitForChildProcesses(DWORD seconds) {
  const DWORD self = GetCurrentProcessId();
  const ULONGLONG deadline = GetTickCount64() + seconds * 1000ull;
  for (;;) {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return false;
    DWORD child = 0;
    PROCESSENTRY32W entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more && child == 0; more = Process32NextW(snapshot, &entry)) {
      if (entry.th32ParentProcessID == self && entry.th32ProcessID != self) child = entry.th32ProcessID;
    }
    CloseHandle(snapshot);
    if (child == 0) return true;
    const ULONGLONG now = GetTickCount64();
    if (now >= deadline) return false;
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, child);
    if (process != nullptr) {
      WaitForSingleObject(process, static_cast<DWORD>(deadline - now));
      CloseHandle(process);
    } else {
      Sleep(10);
    }
  }
}
