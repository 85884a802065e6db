// The lab's wsl.exe, installed as system32\wsl.exe of a Wine prefix.
//
// It reads its command line the way Microsoft's wsl.exe does and leaves
// everything else to the lab's Linux side (wsl/wslservice.sh), started through
// Wine: which distributions exist, who runs a script, what the installer
// does, and the texts of the failures.
//
// The command line: the program name, quoted or not, is stripped with the
// blanks after it. The options before --exec (or -e) are split at spaces
// and tabs and keep their quotes, so `--distribution "Ubuntu"` names a
// distribution called "Ubuntu" with its quotes, which cannot exist. Names
// are matched without regard to letter case (on the Linux side). The rest
// after --exec goes through CommandLineToArgvW and becomes the argument
// vector run inside the distribution. An argument that does not begin with
// '-' ends the options: the rest of the line is run by the shell.
//
// The bridge: a Linux process started through Wine has Wine's standard
// streams, not our pipes. So our standard input is read to its end into a
// file before the Linux side starts (the caller closes its end after the
// payload), and the file the Linux side writes its output to is copied to
// our standard output while it grows. What wsl.exe says about itself comes
// back as UTF-8 and goes out as UTF-16LE with CRLF line ends (UTF-8 when
// WSL_UTF8=1), and the exit code comes back as a number.
//
// The language: wsl.exe prints in Windows' display language. The Linux
// side writes English; with wsl_lang=zh-CN in the lab's settings, what it
// wrote goes out as Chinese Windows prints it (zh-CN.txt beside this file).
//
// Every command line received is appended to the lab's commands.log, and
// once the call ends, one line for it to runs.log: its short name (below),
// ':' or '!' and its exit code as a signed decimal. '!' marks a call that
// was to run something inside a distribution and ended before its shell
// started (the Linux side leaves RUN.started on entering); ':' every other.

#include <windows.h>
#include <shellapi.h>

#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <vector>

namespace {

constexpr DWORD kWslFailure = 0xFFFFFFFFu;  // every failure of WSL's own
constexpr wchar_t kLabConfName[] = L"wsl-lab.conf";

// ntdll's door from a Windows program to a Linux command (Wine only).
using UnixSpawn = LONG(__cdecl*)(char* const argv[], int wait);
// kernel32's Unix-to-Windows path translation (Wine only).
using DosFileName = WCHAR*(__cdecl*)(const char* unix_path);

std::string Utf8(const std::wstring& text) {
  if (text.empty()) return std::string();
  const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                       nullptr, nullptr);
  std::string out(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], size, nullptr, nullptr);
  return out;
}

std::wstring Wide(const std::string& text) {
  if (text.empty()) return std::wstring();
  const int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(size), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], size);
  return out;
}

void WriteAll(HANDLE handle, const void* data, size_t size) {
  const char* bytes = static_cast<const char*>(data);
  while (size > 0) {
    DWORD written = 0;
    const DWORD part = size > 65536 ? 65536 : static_cast<DWORD>(size);
    if (!WriteFile(handle, bytes, part, &written, nullptr) || written == 0) return;
    bytes += written;
    size -= written;
  }
}

bool ReadWholeFile(const std::wstring& path, std::string* out) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  out->clear();
  char buffer[8192];
  DWORD count = 0;
  while (ReadFile(file, buffer, sizeof buffer, &count, nullptr) && count > 0) out->append(buffer, count);
  CloseHandle(file);
  return true;
}

bool WriteWholeFile(const std::wstring& path, const std::string& data) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  WriteAll(file, data.data(), data.size());
  CloseHandle(file);
  return true;
}

// What wsl.exe prints about itself: UTF-16LE without a byte-order mark and
// with CRLF line ends, unless WSL_UTF8=1 asks for UTF-8; errors to standard
// output, warnings to standard error.
void PrintMessage(const std::wstring& text, DWORD stream = STD_OUTPUT_HANDLE) {
  std::wstring crlf;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == L'\n' && (i == 0 || text[i - 1] != L'\r')) crlf += L'\r';
    crlf += text[i];
  }
  HANDLE out = GetStdHandle(stream);
  DWORD mode = 0;
  if (GetConsoleMode(out, &mode)) {
    DWORD written = 0;
    WriteConsoleW(out, crlf.data(), static_cast<DWORD>(crlf.size()), &written, nullptr);
    return;
  }
  wchar_t utf8_flag[8] = {};
  if (GetEnvironmentVariableW(L"WSL_UTF8", utf8_flag, 8) > 0 && lstrcmpW(utf8_flag, L"1") == 0) {
    const std::string bytes = Utf8(crlf);
    WriteAll(out, bytes.data(), bytes.size());
  } else {
    WriteAll(out, crlf.data(), crlf.size() * sizeof(wchar_t));
  }
}

// Where the lab keeps its state: the Unix path written by lab.sh into
// wsl-lab.conf beside this program.
struct Lab {
  std::string state;          // Unix path
  UnixSpawn spawn = nullptr;  // ntdll's __wine_unix_spawnvp
  DosFileName dos_name = nullptr;
};

bool LoadLab(Lab* lab) {
  wchar_t module[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, module, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return false;
  std::wstring conf(module, length);
  conf.erase(conf.find_last_of(L'\\') + 1);
  conf += kLabConfName;
  std::string text;
  if (!ReadWholeFile(conf, &text)) return false;
  const size_t end = text.find_first_of("\r\n");
  lab->state = text.substr(0, end);
  if (lab->state.empty() || lab->state[0] != '/') return false;
  lab->spawn = reinterpret_cast<UnixSpawn>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "__wine_unix_spawnvp")));
  lab->dos_name = reinterpret_cast<DosFileName>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_dos_file_name")));
  return lab->spawn != nullptr;
}

// The Windows path of a Unix path: Wine's translation, or drive Z:, which
// Wine maps to the Unix root.
std::wstring WindowsPath(const Lab& lab, const std::string& unix_path) {
  if (lab.dos_name != nullptr) {
    WCHAR* dos = lab.dos_name(unix_path.c_str());
    if (dos != nullptr) {
      std::wstring path(dos);
      HeapFree(GetProcessHeap(), 0, dos);
      return path;
    }
  }
  std::wstring path = L"Z:" + Wide(unix_path);
  for (wchar_t& c : path) {
    if (c == L'/') c = L'\\';
  }
  return path;
}

// The last value of KEY in the lab's settings (lab.conf), or empty.
std::string LabSetting(const Lab& lab, const std::string& key) {
  std::string text;
  if (!ReadWholeFile(WindowsPath(lab, lab.state + "/lab.conf"), &text)) return std::string();
  std::string value;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    const size_t from = at + key.size() + 1;
    if (text.compare(at, key.size() + 1, key + "=") == 0) value = text.substr(from, end - from);
    at = end + 1;
  }
  return value;
}

void AppendLog(const Lab& lab, const char* log, const std::wstring& text) {
  const std::wstring path = WindowsPath(lab, lab.state + "/" + log);
  HANDLE file = CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  const std::string line = Utf8(text) + "\n";
  WriteAll(file, line.data(), line.size());
  CloseHandle(file);
}

// ---- The display language ------------------------------------------------

// One line of windows/zh-CN.txt: as English Windows prints it, and as
// Chinese Windows does ("{}": any text, carried over).
struct Translation {
  std::wstring english;
  std::wstring chinese;
};


// windows/zh-CN.txt, which lab.sh setup places in the lab's lib/.
std::vector<Translation> ChineseLines(const Lab& lab) {
  std::vector<Translation> table;
  std::string file;
  if (!ReadWholeFile(WindowsPath(lab, lab.state + "/lib/zh-CN.txt"), &file)) return table;
  const std::wstring text = Wide(file);
  for (size_t at = 0, end; at < text.size(); at = end + 1) {
    end = text.find(L'\n', at);
    if (end == std::wstring::npos) end = text.size();
    const std::wstring line = text.substr(at, end - at);
    const size_t tab = line.find(L'\t');
    if (!line.empty() && line[0] != L'#' && tab != std::wstring::npos) {
      table.push_back({line.substr(0, tab), line.substr(tab + 1)});
    }
  }
  return table;
}

bool Translate(const Translation& entry, const std::wstring& line, std::wstring* out) {
  const std::wstring english = entry.english;
  const size_t hole = english.find(L"{}");
  if (hole == std::wstring::npos) {
    if (line != english) return false;
    *out = entry.chinese;
    return true;
  }
  const std::wstring before = english.substr(0, hole);
  const std::wstring after = english.substr(hole + 2);
  if (line.size() < before.size() + after.size() || line.compare(0, before.size(), before) != 0 ||
      line.compare(line.size() - after.size(), after.size(), after) != 0) {
    return false;
  }
  std::wstring chinese = entry.chinese;
  chinese.replace(chinese.find(L"{}"), 2, line.substr(before.size(), line.size() - before.size() - after.size()));
  *out = chinese;
  return true;
}

// The text in the lab's display language (wsl_lang: zh-CN, or English).
std::wstring InDisplayLanguage(const Lab& lab, const std::wstring& text) {
  if (LabSetting(lab, "wsl_lang") != "zh-CN") return text;
  const std::vector<Translation> chinese = ChineseLines(lab);
  std::wstring out;
  size_t at = 0;
  while (at <= text.size()) {
    size_t end = text.find(L'\n', at);
    if (end == std::wstring::npos) end = text.size();
    const std::wstring line = text.substr(at, end - at);
    std::wstring shown = line;
    for (const Translation& entry : chinese) {
      if (Translate(entry, line, &shown)) break;
    }
    out += shown;
    if (end < text.size()) out += L'\n';
    at = end + 1;
  }
  return out;
}

// ---- The command line ----------------------------------------------------

bool IsBlank(wchar_t c) {
  return c == L' ' || c == L'\t';
}

size_t SkipBlanks(const std::wstring& line, size_t at) {
  while (at < line.size() && IsBlank(line[at])) ++at;
  return at;
}

// The program name: up to the closing quote when it begins with one (no
// escapes), else up to the first blank.
size_t SkipProgramName(const std::wstring& line) {
  size_t at = 0;
  if (!line.empty() && line[0] == L'"') {
    const size_t close = line.find(L'"', 1);
    at = close == std::wstring::npos ? line.size() : close + 1;
  }
  while (at < line.size() && !IsBlank(line[at])) ++at;
  return SkipBlanks(line, at);
}

// The next word, split at blanks only: quotes are part of the word.
std::wstring NextWord(const std::wstring& line, size_t* at) {
  size_t start = SkipBlanks(line, *at);
  size_t end = start;
  while (end < line.size() && !IsBlank(line[end])) ++end;
  *at = end;
  return line.substr(start, end - start);
}

// The arguments after --exec, as CommandLineToArgvW reads them (behind a
// program name of our own, so that its own rules for the first word do
// not apply to the command).
std::vector<std::wstring> ExecArguments(const std::wstring& rest) {
  std::vector<std::wstring> args;
  const std::wstring line = L"wsl " + rest;
  int count = 0;
  LPWSTR* argv = CommandLineToArgvW(line.c_str(), &count);
  if (argv == nullptr) return args;
  for (int i = 1; i < count; ++i) args.emplace_back(argv[i]);
  LocalFree(argv);
  return args;
}

struct Request {
  std::vector<std::wstring> helper;  // the operation and its arguments for the Linux side
  bool reads_input = false;          // whether our standard input goes to Linux
  std::wstring error;                // a refusal of ours, printed as WSL prints its own
};

std::wstring InvalidArgument(const std::wstring& word) {
  return L"Invalid command line argument: " + word +
         L"\nPlease use 'wsl.exe --help' to get a list of supported arguments.\nError code: Wsl/E_INVALIDARG\n";
}

std::wstring MissingValue(const std::wstring& option) {
  return L"Command line argument " + option +
         L" requires a value.\nPlease use 'wsl.exe --help' to get a list of supported arguments.\n"
         L"Error code: Wsl/E_INVALIDARG\n";
}

const wchar_t kUsage[] =
    L"Copyright (c) Microsoft Corporation. All rights reserved.\n"
    L"(Quenvale lab stand-in)\n\n"
    L"Usage: wsl.exe [Argument] [Options...] [CommandLine]\n\n"
    L"    --exec, -e <CommandLine>\n"
    L"    --distribution, -d <DistroName>\n"
    L"    --user, -u <UserName>\n"
    L"    --cd <Directory>\n"
    L"    --install [-d <Distro>] [--no-launch]\n"
    L"    --list, -l [--quiet, -q] [--verbose, -v] [--all] [--running]\n"
    L"    --set-default, -s <Distro>\n"
    L"    --terminate, -t <Distro>\n"
    L"    --set-version <Distro> <Version>\n"
    L"    --update\n"
    L"    --shutdown\n"
    L"    --help\n";

void ParseList(const std::wstring& line, size_t at, Request* request) {
  std::wstring mode = L"plain";
  for (;;) {
    const std::wstring word = NextWord(line, &at);
    if (word.empty()) break;
    if (word == L"--quiet" || word == L"-q") {
      mode = L"quiet";
    } else if (word == L"--verbose" || word == L"-v") {
      if (mode != L"quiet") mode = L"verbose";
    } else if (word == L"--all" || word == L"--running") {
    } else {
      request->error = InvalidArgument(word);
      return;
    }
  }
  request->helper = {L"list", mode};
}

void ParseInstall(const std::wstring& line, size_t at, Request* request) {
  std::wstring distro = L"Ubuntu";
  bool launch = true;
  for (;;) {
    const std::wstring word = NextWord(line, &at);
    if (word.empty()) break;
    if (word == L"-d" || word == L"--distribution") {
      distro = NextWord(line, &at);
      if (distro.empty()) {
        request->error = MissingValue(word);
        return;
      }
    } else if (word == L"--no-launch" || word == L"-n") {
      launch = false;
    } else if (word == L"--web-download" || word == L"--inbox" || word == L"--enable-wsl1") {
    } else if (word[0] != L'-') {
      distro = word;
    } else {
      request->error = InvalidArgument(word);
      return;
    }
  }
  request->helper = {L"install", distro, launch ? L"launch" : L"no-launch"};
}

Request Parse(const std::wstring& line) {
  Request request;
  std::wstring distro;
  std::wstring user;
  size_t at = SkipProgramName(line);
  for (;;) {
    at = SkipBlanks(line, at);
    if (at >= line.size()) {
      request.helper = {L"launch", distro, user};
      return request;
    }
    const size_t word_start = at;
    const std::wstring word = NextWord(line, &at);
    if (word == L"--exec" || word == L"-e") {
      const std::vector<std::wstring> args = ExecArguments(line.substr(SkipBlanks(line, at)));
      if (args.empty()) {
        request.error = MissingValue(word);
        return request;
      }
      request.helper = {L"run", distro, user, L"--"};
      request.helper.insert(request.helper.end(), args.begin(), args.end());
      request.reads_input = true;
      return request;
    }
    if (word == L"--") {
      const std::wstring rest = line.substr(SkipBlanks(line, at));
      if (rest.empty()) {
        request.helper = {L"launch", distro, user};
      } else {
        request.helper = {L"run", distro, user, L"--", L"/bin/sh", L"-c", rest};
        request.reads_input = true;
      }
      return request;
    }
    if (word == L"-d" || word == L"--distribution" || word == L"-u" || word == L"--user" || word == L"--cd" ||
        word == L"--shell-type") {
      const std::wstring value = NextWord(line, &at);
      if (value.empty()) {
        request.error = MissingValue(word);
        return request;
      }
      if (word == L"-d" || word == L"--distribution") distro = value;
      if (word == L"-u" || word == L"--user") user = value;
      continue;
    }
    if (word == L"-l" || word == L"--list") {
      ParseList(line, at, &request);
      return request;
    }
    if (word == L"--install") {
      ParseInstall(line, at, &request);
      return request;
    }
    if (word == L"-s" || word == L"--set-default" || word == L"-t" || word == L"--terminate") {
      const std::wstring value = NextWord(line, &at);
      if (value.empty()) {
        request.error = MissingValue(word);
        return request;
      }
      request.helper = {(word == L"-s" || word == L"--set-default") ? L"set-default" : L"terminate", value};
      return request;
    }
    if (word == L"--set-version") {
      const std::wstring name = NextWord(line, &at);
      const std::wstring version = NextWord(line, &at);
      if (version.empty()) {
        request.error = MissingValue(word);
      } else if (version != L"1" && version != L"2") {
        request.error = InvalidArgument(version);
      } else {
        request.helper = {L"set-version", name, version};
      }
      return request;
    }
    if (word == L"--update") {
      // (Its options change nothing here.) Only where its input is a console
      // does it offer to repair a broken WSL: never for a program's pipe.
      const bool console = GetFileType(GetStdHandle(STD_INPUT_HANDLE)) != FILE_TYPE_PIPE;
      request.helper = {L"update", console ? L"console" : L"pipe"};
      return request;
    }
    if (word == L"--shutdown") {
      request.helper = {L"shutdown"};
      return request;
    }
    if (word == L"--help" || word == L"-h" || word == L"-?") {
      request.error = kUsage;
      return request;
    }
    if (word[0] == L'-') {
      request.error = InvalidArgument(word);
      return request;
    }
    // A command line for the user's shell: the rest, as it stands.
    request.helper = {L"run", distro, user, L"--", L"/bin/sh", L"-c", line.substr(word_start)};
    request.reads_input = true;
    return request;
  }
}

// ---- The Linux side ------------------------------------------------------

struct Spawn {
  UnixSpawn spawn;
  std::vector<std::string> args;
  LONG status;
};

DWORD WINAPI SpawnThread(void* context) {
  Spawn* job = static_cast<Spawn*>(context);
  std::vector<char*> argv;
  for (std::string& arg : job->args) argv.push_back(&arg[0]);
  argv.push_back(nullptr);
  job->status = job->spawn(argv.data(), 1);
  return 0;
}

std::string StandardInput() {
  std::string data;
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  if (in == nullptr || in == INVALID_HANDLE_VALUE) return data;
  const DWORD type = GetFileType(in);
  if (type != FILE_TYPE_PIPE && type != FILE_TYPE_DISK) return data;
  char buffer[4096];
  DWORD count = 0;
  while (ReadFile(in, buffer, sizeof buffer, &count, nullptr) && count > 0) data.append(buffer, count);
  return data;
}

// Copies what the output file gained since the last call to our standard
// output; returns false when nothing was new.
bool Forward(HANDLE output_file, HANDLE out) {
  char buffer[16384];
  DWORD count = 0;
  bool any = false;
  while (ReadFile(output_file, buffer, sizeof buffer, &count, nullptr) && count > 0) {
    WriteAll(out, buffer, count);
    any = true;
  }
  return any;
}

// The call's short name in runs.log: the Linux side's operation, and for a
// command run inside a distribution, which of the program's three scripts
// it is (by its first statements), or a shell line of anyone else's.
std::wstring CallName(const Request& request) {
  if (request.helper.empty()) return L"refused";
  if (request.helper[0] != L"run") return request.helper[0];
  const std::wstring& command = request.helper.back();
  if (command.rfind(L"echo QV_PREFLIGHT;", 0) == 0) return L"preflight";
  if (command.rfind(L"set -eu; PATH=", 0) == 0) return L"dependency";
  if (command.find(L"read -r QUENVALE_BASE") != std::wstring::npos) return L"enrollment";
  return L"shell";
}

DWORD RunHelper(const Lab& lab, const Request& request, bool* started) {
  char run_name[64];
  snprintf(run_name, sizeof run_name, "%lu-%lu", static_cast<unsigned long>(GetCurrentProcessId()),
           static_cast<unsigned long>(GetTickCount()));
  const std::string run = lab.state + "/run/" + run_name;
  const std::wstring in_path = WindowsPath(lab, run + ".in");
  const std::wstring out_path = WindowsPath(lab, run + ".out");
  const std::wstring msg_path = WindowsPath(lab, run + ".msg");
  const std::wstring err_path = WindowsPath(lab, run + ".err");
  const std::wstring rc_path = WindowsPath(lab, run + ".rc");
  const std::wstring started_path = WindowsPath(lab, run + ".started");

  if (!WriteWholeFile(in_path, request.reads_input ? StandardInput() : std::string()) ||
      !WriteWholeFile(out_path, std::string()) || !WriteWholeFile(msg_path, std::string())) {
    PrintMessage(L"The lab's state directory cannot be written: " + Wide(lab.state) + L"\n");
    return kWslFailure;
  }
  HANDLE output_file = CreateFileW(out_path.c_str(), GENERIC_READ,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL, nullptr);

  Spawn job;
  job.spawn = lab.spawn;
  job.status = -1;
  job.args = {"/bin/sh", lab.state + "/lib/wsl/wslservice.sh", lab.state, run};
  for (const std::wstring& arg : request.helper) job.args.push_back(Utf8(arg));
  HANDLE thread = CreateThread(nullptr, 0, SpawnThread, &job, 0, nullptr);
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  if (thread != nullptr) {
    while (WaitForSingleObject(thread, 0) == WAIT_TIMEOUT) {
      if (output_file == INVALID_HANDLE_VALUE || !Forward(output_file, out)) Sleep(10);
    }
    CloseHandle(thread);
  }
  if (output_file != INVALID_HANDLE_VALUE) {
    Forward(output_file, out);
    CloseHandle(output_file);
  }

  std::string message;
  if (ReadWholeFile(err_path, &message) && !message.empty()) {
    PrintMessage(InDisplayLanguage(lab, Wide(message)), STD_ERROR_HANDLE);
  }
  if (ReadWholeFile(msg_path, &message) && !message.empty()) PrintMessage(InDisplayLanguage(lab, Wide(message)));
  std::string rc;
  DWORD exit_code = kWslFailure;
  if (thread != nullptr && ReadWholeFile(rc_path, &rc) && !rc.empty()) {
    exit_code = static_cast<DWORD>(_strtoi64(rc.c_str(), nullptr, 10));
  } else {
    char detail[96];
    snprintf(detail, sizeof detail, "The lab's Linux side did not answer (status 0x%08lx).\n",
             static_cast<unsigned long>(job.status));
    PrintMessage(Wide(detail));
  }
  *started = GetFileAttributesW(started_path.c_str()) != INVALID_FILE_ATTRIBUTES;
  for (const std::wstring* path : {&in_path, &out_path, &msg_path, &err_path, &rc_path, &started_path}) {
    DeleteFileW(path->c_str());
  }
  return exit_code;
}

}  // namespace

int wmain() {
  const std::wstring command_line = GetCommandLineW();
  Lab lab;
  if (!LoadLab(&lab)) {
    PrintMessage(L"This wsl.exe belongs to the Quenvale lab, which is not set up in this prefix "
                 L"(lab.sh setup SCENARIO).\nError code: Wsl/E_UNEXPECTED\n");
    return static_cast<int>(kWslFailure);
  }
  AppendLog(lab, "commands.log", command_line);
  const Request request = Parse(command_line);
  DWORD exit_code = kWslFailure;
  bool started = false;
  if (request.error.empty()) {
    exit_code = RunHelper(lab, request, &started);
  } else {
    PrintMessage(InDisplayLanguage(lab, request.error));
  }
  const bool shell_missed = !request.helper.empty() && request.helper[0] == L"run" && !started;
  AppendLog(lab, "runs.log",
            CallName(request) + (shell_missed ? L"!" : L":") + std::to_wstring(static_cast<INT32>(exit_code)));
  return static_cast<int>(exit_code);
}
