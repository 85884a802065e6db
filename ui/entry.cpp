// The program's entry point. It takes no command-line options.
#include <windows.h>

#include "ui/main_window.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  // Before anything can load a DLL: only System32 is searched, never the
  // folder the program was downloaded to.
  SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);

  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  GetStartupInfoW(&startup);
  const int show = (startup.dwFlags & STARTF_USESHOWWINDOW) ? startup.wShowWindow : SW_SHOWDEFAULT;
  return RunEnrollmentProgram(instance, show);
}
