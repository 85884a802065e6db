#include "import_hooks.h"

#include <shellapi.h>

namespace {

// Room for the folder, a backslash and the longest file name used here.
constexpr int kFolderCapacity = MAX_PATH - 16;

wchar_t g_system_directory[MAX_PATH];
wchar_t g_log_folder[MAX_PATH];

using GetSystemDirectoryFn = UINT(WINAPI*)(LPWSTR, UINT);
using ShellExecuteFn = HINSTANCE(WINAPI*)(HWND, LPCWSTR, LPCWSTR, LPCWSTR, LPCWSTR, INT);
using ShellExecuteExFn = BOOL(WINAPI*)(SHELLEXECUTEINFOW*);
using LoadLibraryExFn = HMODULE(WINAPI*)(LPCWSTR, HANDLE, DWORD);

GetSystemDirectoryFn g_get_system_directory;
ShellExecuteFn g_shell_execute;
ShellExecuteExFn g_shell_execute_ex;
LoadLibraryExFn g_load_library_ex;

bool CopyFolder(const wchar_t* folder, wchar_t (&destination)[MAX_PATH]) {
  const int length = lstrlenW(folder);
  if (length < 3 || length > kFolderCapacity) return false;
  lstrcpynW(destination, folder, MAX_PATH);
  return true;
}

bool StartsWithNoCase(const wchar_t* text, const wchar_t* prefix) {
  const int length = lstrlenW(prefix);
  return lstrlenW(text) >= length &&
         CompareStringOrdinal(text, length, prefix, length, TRUE) == CSTR_EQUAL;
}

// Appends `parts`, joined by '|', and a line feed to g_log_folder\name, as
// UTF-8, in one write.
void AppendLine(const wchar_t* name, const wchar_t* const* parts, int count) {
  wchar_t path[MAX_PATH];
  lstrcpynW(path, g_log_folder, MAX_PATH);
  lstrcatW(path, L"\\");
  lstrcatW(path, name);
  static char line[8192];
  int used = 0;
  for (int i = 0; i < count; ++i) {
    if (i > 0 && used < static_cast<int>(sizeof line) - 1) line[used++] = '|';
    if (parts[i] == nullptr || parts[i][0] == 0) continue;
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, parts[i], -1, line + used,
                                          static_cast<int>(sizeof line) - 1 - used, nullptr, nullptr);
    if (bytes <= 0) return;  // too long to record whole: record nothing
    used += bytes - 1;       // without its terminator
  }
  line[used++] = '\n';
  HANDLE file = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(file, line, static_cast<DWORD>(used), &written, nullptr);
  CloseHandle(file);
}

UINT WINAPI StandInSystemDirectory(LPWSTR buffer, UINT size) {
  // As the real one: the length without terminator when it fits, else the
  // size needed with it.
  const UINT length = static_cast<UINT>(lstrlenW(g_system_directory));
  if (buffer == nullptr || size <= length) return length + 1;
  lstrcpynW(buffer, g_system_directory, static_cast<int>(size));
  return length;
}

// Starts `file` with the default verb and no zone check: the kit may have
// been unpacked from a download, and a stand-in must not bring up the
// shell's security warning on a tester's PC.
BOOL StartPlainly(SHELLEXECUTEINFOW* info) {
  SHELLEXECUTEINFOW plain = *info;
  plain.lpVerb = nullptr;
  plain.fMask |= SEE_MASK_NOZONECHECKS;
  const BOOL started = g_shell_execute_ex(&plain);
  const DWORD error = GetLastError();
  info->hInstApp = plain.hInstApp;
  info->hProcess = plain.hProcess;
  SetLastError(error);
  return started;
}

HINSTANCE WINAPI RecordingShellExecute(HWND owner, LPCWSTR verb, LPCWSTR file, LPCWSTR parameters,
                                       LPCWSTR directory, INT show) {
  if (file != nullptr && (StartsWithNoCase(file, L"http://") || StartsWithNoCase(file, L"https://"))) {
    const wchar_t* parts[] = {file};
    AppendLine(L"urls.log", parts, 1);
    return reinterpret_cast<HINSTANCE>(static_cast<INT_PTR>(42));  // above 32: opened
  }
  SHELLEXECUTEINFOW info = {};
  info.cbSize = sizeof info;
  info.hwnd = owner;
  info.lpVerb = verb;
  info.lpFile = file;
  info.lpParameters = parameters;
  info.lpDirectory = directory;
  info.nShow = show;
  StartPlainly(&info);
  return info.hInstApp;
}

BOOL WINAPI RecordingShellExecuteEx(SHELLEXECUTEINFOW* info) {
  const wchar_t* parts[] = {info->lpVerb, info->lpFile, info->lpParameters};
  AppendLine(L"shell.log", parts, 3);
  return StartPlainly(info);
}

HMODULE WINAPI LoadWithoutCrypt32(LPCWSTR name, HANDLE file, DWORD flags) {
  if (name != nullptr) {
    const wchar_t* base = name;
    for (const wchar_t* p = name; *p != 0; ++p) {
      if (*p == L'\\' || *p == L'/') base = p + 1;
    }
    if (lstrcmpiW(base, L"crypt32.dll") == 0 || lstrcmpiW(base, L"crypt32") == 0) {
      SetLastError(ERROR_MOD_NOT_FOUND);
      return nullptr;
    }
  }
  return g_load_library_ex(name, file, flags);
}

// Replaces dll!function once; a second call keeps the first original, so
// that the stand-in never ends up calling itself.
template <typename Function>
bool Hook(HMODULE module, const char* dll, const char* function, Function replacement, Function* original) {
  if (*original != nullptr) return true;
  void* previous = ReplaceImport(module, dll, function, reinterpret_cast<void*>(replacement));
  *original = reinterpret_cast<Function>(previous);
  return previous != nullptr;
}

template <typename Function>
void Unhook(HMODULE module, const char* dll, const char* function, Function* original) {
  if (*original == nullptr) return;
  ReplaceImport(module, dll, function, reinterpret_cast<void*>(*original));
  *original = nullptr;
}

}  // namespace

void* ReplaceImport(HMODULE module, const char* dll, const char* function, void* replacement) {
  BYTE* const base = reinterpret_cast<BYTE*>(module);
  const IMAGE_DOS_HEADER* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  if (base == nullptr || dos->e_magic != IMAGE_DOS_SIGNATURE) return nullptr;
  const IMAGE_NT_HEADERS* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  if (nt->Signature != IMAGE_NT_SIGNATURE) return nullptr;
  const IMAGE_DATA_DIRECTORY& imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  if (imports.VirtualAddress == 0) return nullptr;

  void* previous = nullptr;
  for (const IMAGE_IMPORT_DESCRIPTOR* entry =
           reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
       entry->Name != 0; ++entry) {
    // The names are read from the lookup table: once the loader has bound
    // the address table, it holds only addresses.
    if (entry->OriginalFirstThunk == 0) continue;
    if (lstrcmpiA(reinterpret_cast<const char*>(base + entry->Name), dll) != 0) continue;
    const IMAGE_THUNK_DATA* name = reinterpret_cast<const IMAGE_THUNK_DATA*>(base + entry->OriginalFirstThunk);
    IMAGE_THUNK_DATA* slot = reinterpret_cast<IMAGE_THUNK_DATA*>(base + entry->FirstThunk);
    for (; name->u1.AddressOfData != 0; ++name, ++slot) {
      if (IMAGE_SNAP_BY_ORDINAL(name->u1.Ordinal)) continue;
      const IMAGE_IMPORT_BY_NAME* by_name =
          reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + name->u1.AddressOfData);
      if (lstrcmpA(reinterpret_cast<const char*>(by_name->Name), function) != 0) continue;
      DWORD protection = 0;
      if (!VirtualProtect(&slot->u1.Function, sizeof slot->u1.Function, PAGE_READWRITE, &protection)) continue;
      previous = reinterpret_cast<void*>(slot->u1.Function);
      slot->u1.Function = reinterpret_cast<ULONG_PTR>(replacement);
      VirtualProtect(&slot->u1.Function, sizeof slot->u1.Function, protection, &protection);
    }
  }
  return previous;
}

bool RedirectSystemDirectory(HMODULE module, const wchar_t* folder) {
  return CopyFolder(folder, g_system_directory) &&
         Hook(module, "kernel32.dll", "GetSystemDirectoryW", StandInSystemDirectory, &g_get_system_directory);
}

bool RecordShellCalls(HMODULE module, const wchar_t* folder) {
  return CopyFolder(folder, g_log_folder) &&
         Hook(module, "shell32.dll", "ShellExecuteExW", RecordingShellExecuteEx, &g_shell_execute_ex) &&
         Hook(module, "shell32.dll", "ShellExecuteW", RecordingShellExecute, &g_shell_execute);
}

bool HideCrypt32(HMODULE module) {
  return Hook(module, "kernel32.dll", "LoadLibraryExW", LoadWithoutCrypt32, &g_load_library_ex);
}

void RestoreImports(HMODULE module) {
  Unhook(module, "kernel32.dll", "GetSystemDirectoryW", &g_get_system_directory);
  Unhook(module, "shell32.dll", "ShellExecuteW", &g_shell_execute);
  Unhook(module, "shell32.dll", "ShellExecuteExW", &g_shell_execute_ex);
  Unhook(module, "kernel32.dll", "LoadLibraryExW", &g_load_library_ex);
}
