// Registered as the prefix's handler of http and https addresses, so that a
// help button opens no browser: appends the address (argument 2) as a line
// to the log file (argument 1).
#include <windows.h>

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) return 2;
  HANDLE file = CreateFileW(argv[1], FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS, 0,
                            nullptr);
  if (file == INVALID_HANDLE_VALUE) return 1;
  char utf8[4096];
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, argv[2], -1, utf8, sizeof utf8 - 1, nullptr, nullptr);
  if (bytes > 0) {
    utf8[bytes - 1] = '\n';
    DWORD written = 0;
    WriteFile(file, utf8, static_cast<DWORD>(bytes), &written, nullptr);
  }
  CloseHandle(file);
  return 0;
}
