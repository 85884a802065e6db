// For screenshots taken from outside Wine: waits for the program's window,
// optionally types a (masked) code into its code field, and prints the
// window's outer rectangle as ImageMagick geometry, WIDTHxHEIGHT+X+Y.
#include <windows.h>

#include <stdio.h>

int wmain(int argc, wchar_t** argv) {
  HWND window = nullptr;
  // Visible means created with all its controls, and shown.
  for (int i = 0; i < 1500 && (window == nullptr || !IsWindowVisible(window)); ++i) {
    window = FindWindowW(L"QuenvaleEnrollment", nullptr);
    Sleep(20);
  }
  if (window == nullptr) return 1;
  if (argc > 1) {
    HWND code_field = GetWindow(GetWindow(GetWindow(window, GW_CHILD), GW_HWNDNEXT), GW_HWNDNEXT);
    SendMessageW(code_field, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(argv[1]));
  }
  Sleep(300);
  RECT rect;
  GetWindowRect(window, &rect);
  printf("%ldx%ld+%ld+%ld\n", rect.right - rect.left, rect.bottom - rect.top, rect.left, rect.top);
  return 0;
}
