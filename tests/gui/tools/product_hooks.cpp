// The test hooks, loaded into the real QuenvaleEnroll.exe by the window
// tests through a message hook on its window's thread (the system loads the
// DLL there, into the program's own message flow, once the window exists:
// wsl.exe is looked up, and the help pages and the installer are started,
// only when the user acts). On loading in the program it points the
// program's imports at the stand-ins of tests/win32/import_hooks.h, with
// the folder the test gives the program as QV_TEST_DIR:
//   - QV_TEST_DIR stands for the system directory: its wsl.exe is the one
//     the program finds;
//   - the help pages' addresses go to QV_TEST_DIR\urls.log, the installer's
//     start to QV_TEST_DIR\shell.log, and it starts without elevation;
//   - with QV_TEST_HIDE_CRYPT32=1, crypt32 cannot be loaded.
// Loading fails, and the program stays as it was, when any of this cannot
// be done. The hook answers the test's requests (product_hooks.h), among
// them reading the masked code field, which no other process may read on
// Windows.
#include "product_hooks.h"

#include <windows.h>

#include "tests/win32/import_hooks.h"

namespace {

wchar_t g_folder[MAX_PATH];
bool g_in_program;

bool Enabled(const wchar_t* name) {
  wchar_t value[4] = {};
  return GetEnvironmentVariableW(name, value, 4) == 1 && value[0] == L'1';
}

// The test loads this DLL too, to hand its hook to the system: only inside
// the program does it change anything.
bool InProgram() {
  wchar_t path[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return false;
  const wchar_t* name = path;
  for (const wchar_t* p = path; *p != 0; ++p) {
    if (*p == L'\\' || *p == L'/') name = p + 1;
  }
  return lstrcmpiW(name, L"QuenvaleEnroll.exe") == 0;
}

BOOL CALLBACK FindOwnWindow(HWND window, LPARAM found) {
  DWORD process = 0;
  GetWindowThreadProcessId(window, &process);
  wchar_t name[32] = {};
  GetClassNameW(window, name, 32);
  if (process != GetCurrentProcessId() || lstrcmpW(name, L"QuenvaleEnrollment") != 0) return TRUE;
  *reinterpret_cast<HWND*>(found) = window;
  return FALSE;
}

LPARAM SaveCodeField() {
  HWND window = nullptr;
  EnumWindows(FindOwnWindow, reinterpret_cast<LPARAM>(&window));
  if (window == nullptr) return 0;
  // Heading, label, then the code field.
  HWND field = GetWindow(GetWindow(GetWindow(window, GW_CHILD), GW_HWNDNEXT), GW_HWNDNEXT);
  if (field == nullptr) return 0;
  wchar_t text[1024] = {};
  GetWindowTextW(field, text, 1024);
  char utf8[4096];
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, sizeof utf8, nullptr, nullptr);
  if (bytes <= 0) return 0;

  wchar_t path[MAX_PATH];
  lstrcpynW(path, g_folder, MAX_PATH);
  lstrcatW(path, L"\\code-field.txt");
  HANDLE file = CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                            nullptr);
  if (file == INVALID_HANDLE_VALUE) return 0;
  DWORD written = 0;
  const BOOL wrote = WriteFile(file, utf8, static_cast<DWORD>(bytes - 1), &written, nullptr);
  CloseHandle(file);
  return wrote && written == static_cast<DWORD>(bytes - 1) ? 1 : 0;
}

}  // namespace

// WH_GETMESSAGE, on the program's window thread: a request is answered and
// turned into WM_NULL, so the window never sees it.
extern "C" __declspec(dllexport) LRESULT CALLBACK ProductMessageHook(int code, WPARAM removal, LPARAM parameter) {
  static const UINT request_message = RegisterWindowMessageW(kProductHooksMessage);
  MSG* message = reinterpret_cast<MSG*>(parameter);
  if (code == HC_ACTION && removal == PM_REMOVE && g_in_program && request_message != 0 &&
      message->message == request_message) {
    LPARAM answer = 0;
    if (message->wParam == kHooksReady) answer = 1;
    if (message->wParam == kSaveCodeField) answer = SaveCodeField();
    PostThreadMessageW(static_cast<DWORD>(message->lParam), request_message, message->wParam, answer);
    message->message = WM_NULL;
  }
  return CallNextHookEx(nullptr, code, removal, parameter);
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, void*) {
  if (reason != DLL_PROCESS_ATTACH) return TRUE;
  DisableThreadLibraryCalls(instance);
  if (!InProgram()) return TRUE;
  const DWORD length = GetEnvironmentVariableW(L"QV_TEST_DIR", g_folder, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return FALSE;
  HMODULE program = GetModuleHandleW(nullptr);
  const bool hooked = RedirectSystemDirectory(program, g_folder) && RecordShellCalls(program, g_folder) &&
                      (!Enabled(L"QV_TEST_HIDE_CRYPT32") || HideCrypt32(program));
  if (!hooked) {
    // Nothing may point into a library that is about to be unloaded.
    RestoreImports(program);
    return FALSE;
  }
  // Pinned: the imports point into this DLL for the rest of the program's
  // life, whatever becomes of the hook that brought it.
  HMODULE self = nullptr;
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                          reinterpret_cast<LPCWSTR>(&g_folder), &self)) {
    RestoreImports(program);
    return FALSE;
  }
  g_in_program = true;
  return TRUE;
}
