// The status line's record, loaded into QuenvaleEnroll.exe by the
// end-to-end driver through a WH_CALLWNDPROCRET hook on its window's thread.
// Every time the status line has been given a text (a WM_SETTEXT, whoever
// sent it), the text it now holds is appended to the file that
// QV_E2E_STATUS_RECORD names, UTF-16 and one a line: a text the program
// sets is on the record before its SetWindowTextW returns, so one shown for
// a moment is there as surely as the outcome that stays, however slowly the
// driver looks. (A text another process sends is recorded only after that
// process has had its answer: Wine calls this hook after the reply. And the
// line is read back, not taken from the message: for a message from another
// process Wine hands a hook no text.) Outside the program (the driver loads
// it only to hand over its hook) and without the variable it records
// nothing.
#include <windows.h>

namespace {

// The status line is the main window's last child.
bool IsStatusLine(HWND control) {
  HWND parent = GetParent(control);
  wchar_t name[32] = {};
  if (parent == nullptr || GetClassNameW(parent, name, 32) == 0 || lstrcmpW(name, L"QuenvaleEnrollment") != 0) {
    return false;
  }
  return GetWindow(control, GW_HWNDNEXT) == nullptr;
}

void Record(HWND status_line) {
  wchar_t text[1024];
  const int length_of_text = GetWindowTextW(status_line, text, 1024);
  wchar_t path[MAX_PATH];
  const DWORD length = GetEnvironmentVariableW(L"QV_E2E_STATUS_RECORD", path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return;
  HANDLE file = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(file, text, static_cast<DWORD>(length_of_text * sizeof(wchar_t)), &written, nullptr);
  WriteFile(file, L"\n", sizeof(wchar_t), &written, nullptr);
  CloseHandle(file);
}

}  // namespace

extern "C" __declspec(dllexport) LRESULT CALLBACK StatusLineHook(int code, WPARAM sent_by_this_thread,
                                                                LPARAM parameter) {
  const CWPRETSTRUCT* message = reinterpret_cast<const CWPRETSTRUCT*>(parameter);
  if (code == HC_ACTION && message->message == WM_SETTEXT && IsStatusLine(message->hwnd)) Record(message->hwnd);
  return CallNextHookEx(nullptr, code, sent_by_this_thread, parameter);
}
