// A stand-in wsl.exe for the window tests. It records each command line,
// and for the script form waits until a gate file exists, so the window can
// be watched while an attempt runs. Steered by environment variables that
// the test gives the program, which passes them on:
//   QV_TEST_DIR           folder for the log and the files below
//   QV_TEST_GATE          1: wait for QV_TEST_DIR\open-gate first
//   QV_TEST_INSTALL_EXIT  exit code of "--install ..." (default 0)
// The script form prints QV_TEST_DIR\output.bin (if any) and exits with the
// number in QV_TEST_DIR\exit-code.txt (default -1: no distribution).
#include <windows.h>

#include <stdlib.h>
#include <wchar.h>

namespace {

wchar_t g_dir[MAX_PATH];

void PathIn(const wchar_t* name, wchar_t (&path)[MAX_PATH]) {
  lstrcpynW(path, g_dir, MAX_PATH);
  lstrcatW(path, L"\\");
  lstrcatW(path, name);
}

void AppendLine(const wchar_t* name, const wchar_t* text) {
  wchar_t path[MAX_PATH];
  PathIn(name, path);
  HANDLE file = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS, 0,
                            nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  char utf8[32768];
  int bytes = WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, sizeof utf8 - 1, nullptr, nullptr);
  if (bytes > 0) {
    utf8[bytes - 1] = '\n';
    DWORD written = 0;
    WriteFile(file, utf8, static_cast<DWORD>(bytes), &written, nullptr);
  }
  CloseHandle(file);
}

DWORD NumberFrom(const char* text, DWORD fallback) {
  if (text == nullptr || *text == 0) return fallback;
  return static_cast<DWORD>(strtoll(text, nullptr, 0));
}

DWORD ReadSmallFile(const wchar_t* name, char* buffer, DWORD capacity) {
  wchar_t path[MAX_PATH];
  PathIn(name, path);
  HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 0;
  DWORD got = 0;
  ReadFile(file, buffer, capacity, &got, nullptr);
  CloseHandle(file);
  return got;
}

}  // namespace

int wmain() {
  if (GetEnvironmentVariableW(L"QV_TEST_DIR", g_dir, MAX_PATH) == 0) return 120;
  const wchar_t* command_line = GetCommandLineW();
  AppendLine(L"wsl-commands.log", command_line);

  if (wcsstr(command_line, L"--install") != nullptr) {
    char code[32] = {};
    GetEnvironmentVariableA("QV_TEST_INSTALL_EXIT", code, sizeof code);
    return static_cast<int>(NumberFrom(code, 0));
  }
  if (wcsstr(command_line, L"--exec") == nullptr) return 0;  // "open": a new Ubuntu window

  char gate[8] = {};
  GetEnvironmentVariableA("QV_TEST_GATE", gate, sizeof gate);
  if (gate[0] == '1') {
    wchar_t gate_path[MAX_PATH];
    PathIn(L"open-gate", gate_path);
    for (int i = 0; i < 6000 && GetFileAttributesW(gate_path) == INVALID_FILE_ATTRIBUTES; ++i) Sleep(20);
  }

  static char output[65536];
  const DWORD length = ReadSmallFile(L"output.bin", output, sizeof output);
  DWORD written = 0;
  if (length > 0) WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), output, length, &written, nullptr);
  char code[32] = {};
  ReadSmallFile(L"exit-code.txt", code, sizeof code - 1);
  return static_cast<int>(NumberFrom(code, 0xFFFFFFFFu));
}
