#include "window_driver.h"

#include <vector>

#include "tools/product_hooks.h"

namespace {

struct FindContext {
  DWORD process_id;
  const wchar_t* class_name;
  HWND owner;
  HWND found;
};

BOOL CALLBACK FindTopLevel(HWND window, LPARAM parameter) {
  FindContext* context = reinterpret_cast<FindContext*>(parameter);
  DWORD process_id = 0;
  GetWindowThreadProcessId(window, &process_id);
  if (process_id != context->process_id || !IsWindowVisible(window)) return TRUE;
  wchar_t class_name[64] = {};
  GetClassNameW(window, class_name, 64);
  if (wcscmp(class_name, context->class_name) != 0) return TRUE;
  if (context->owner != nullptr && GetWindow(window, GW_OWNER) != context->owner) return TRUE;
  context->found = window;
  return FALSE;
}

HWND FindWindowOf(DWORD process_id, const wchar_t* class_name, HWND owner) {
  FindContext context = {process_id, class_name, owner, nullptr};
  EnumWindows(FindTopLevel, reinterpret_cast<LPARAM>(&context));
  return context.found;
}

std::vector<wchar_t> EnvironmentWith(const std::wstring& extra) {
  std::vector<wchar_t> block;
  wchar_t* current = GetEnvironmentStringsW();
  for (const wchar_t* entry = current; *entry != 0; entry += wcslen(entry) + 1) {
    block.insert(block.end(), entry, entry + wcslen(entry) + 1);
  }
  FreeEnvironmentStringsW(current);
  size_t start = 0;
  while (start < extra.size()) {
    size_t end = extra.find(L'\n', start);
    if (end == std::wstring::npos) end = extra.size();
    if (end > start) {
      block.insert(block.end(), extra.begin() + start, extra.begin() + end);
      block.push_back(0);
    }
    start = end + 1;
  }
  block.push_back(0);
  return block;
}

}  // namespace

bool StartProduct(const std::wstring& exe, const std::wstring& extra_environment, ProductProcess* product, int show) {
  std::wstring command_line = L"\"" + exe + L"\"";
  std::vector<wchar_t> environment = EnvironmentWith(extra_environment);
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  if (show >= 0) {
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = static_cast<WORD>(show);
  }
  PROCESS_INFORMATION info = {};
  if (!CreateProcessW(exe.c_str(), &command_line[0], nullptr, nullptr, FALSE, CREATE_UNICODE_ENVIRONMENT,
                      environment.data(), nullptr, &startup, &info)) {
    return false;
  }
  CloseHandle(info.hThread);
  product->process = info.hProcess;
  product->id = info.dwProcessId;
  return WaitUntil([&] {
    product->window = FindWindowOf(product->id, L"QuenvaleEnrollment", nullptr);
    return product->window != nullptr;
  });
}

long StopProduct(ProductProcess* product) {
  if (product->process == nullptr) return -1;
  if (IsWindow(product->window)) PostMessageW(product->window, WM_CLOSE, 0, 0);
  long result = -1;
  if (WaitForSingleObject(product->process, 20000) == WAIT_OBJECT_0) {
    DWORD code = 0;
    if (GetExitCodeProcess(product->process, &code)) result = static_cast<long>(code);
  } else {
    TerminateProcess(product->process, 99);
    WaitForSingleObject(product->process, 5000);
  }
  CloseHandle(product->process);
  product->process = nullptr;
  // Only now: the hooked program must not lose its DLL while it runs.
  if (product->hook != nullptr) UnhookWindowsHookEx(product->hook);
  product->hook = nullptr;
  return result;
}

HWND ControlAt(HWND window, int index) {
  HWND child = GetWindow(window, GW_CHILD);
  for (int i = 0; i < index && child != nullptr; ++i) child = GetWindow(child, GW_HWNDNEXT);
  return child;
}

// Sent with a time limit: a program that stopped answering fails the
// test instead of holding it, and a whole unattended run, for ever.
constexpr UINT kAnswerTimeoutMs = 20000;

std::wstring TextOf(HWND control) {
  wchar_t buffer[1024] = {};
  DWORD_PTR copied = 0;
  SendMessageTimeoutW(control, WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(buffer), SMTO_NORMAL, kAnswerTimeoutMs,
                      &copied);
  return buffer;
}

void SetText(HWND control, const std::wstring& text) {
  DWORD_PTR result = 0;
  SendMessageTimeoutW(control, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()), SMTO_NORMAL, kAnswerTimeoutMs,
                      &result);
}

void Click(HWND button) {
  PostMessageW(button, BM_CLICK, 0, 0);
}

void PressKey(const ProductProcess& product, WORD key) {
  HWND target = product.window;
  GUITHREADINFO thread = {};
  thread.cbSize = sizeof thread;
  if (GetGUIThreadInfo(GetWindowThreadProcessId(product.window, nullptr), &thread)) {
    if (thread.hwndFocus != nullptr) {
      target = thread.hwndFocus;
    } else if (thread.hwndActive != nullptr) {
      target = thread.hwndActive;
    }
  }
  const LPARAM scan = static_cast<LPARAM>(MapVirtualKeyW(key, MAPVK_VK_TO_VSC)) << 16;
  PostMessageW(target, WM_KEYDOWN, key, scan | 1);
  // Released: previous state down (bit 30), transition (bit 31).
  PostMessageW(target, WM_KEYUP, key, scan | 1 | (LPARAM{1} << 30) | (LPARAM{1} << 31));
}

bool LoadIntoProduct(ProductProcess* product, const std::wstring& dll) {
  // Loaded here too, only to hand its hook to the system; outside the
  // program the DLL changes nothing.
  HMODULE module = LoadLibraryW(dll.c_str());
  if (module == nullptr) return false;
  const HOOKPROC hook =
      reinterpret_cast<HOOKPROC>(reinterpret_cast<void*>(GetProcAddress(module, "ProductMessageHook")));
  const DWORD thread = GetWindowThreadProcessId(product->window, nullptr);
  if (hook == nullptr || thread == 0) return false;
  // The system loads the DLL into the program the next time the window's
  // thread takes a message from its queue, the request below at the latest.
  product->hook = SetWindowsHookExW(WH_GETMESSAGE, hook, module, thread);
  return product->hook != nullptr && AskProduct(*product, kHooksReady) == 1;
}

LPARAM AskProduct(const ProductProcess& product, unsigned request, DWORD timeout_ms) {
  const UINT message = RegisterWindowMessageW(kProductHooksMessage);
  MSG answer;
  // The answer comes to this thread's queue: make sure it has one, empty.
  while (PeekMessageW(&answer, nullptr, message, message, PM_REMOVE)) {
  }
  if (message == 0 || !PostMessageW(product.window, message, request, static_cast<LPARAM>(GetCurrentThreadId()))) {
    return 0;
  }
  const ULONGLONG end = GetTickCount64() + timeout_ms;
  do {
    while (PeekMessageW(&answer, nullptr, message, message, PM_REMOVE)) {
      if (answer.hwnd == nullptr && answer.wParam == request) return answer.lParam;
    }
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_POSTMESSAGE);
  } while (GetTickCount64() < end);
  return 0;
}

bool WaitForStatus(HWND window, const wchar_t* text, DWORD timeout_ms) {
  return WaitUntil([&] { return TextOf(ControlAt(window, kStatus)) == text; }, timeout_ms);
}

HWND FindMessageBox(const ProductProcess& product) {
  return FindWindowOf(product.id, L"#32770", product.window);
}

HWND WaitForMessageBox(const ProductProcess& product, DWORD timeout_ms) {
  HWND box = nullptr;
  WaitUntil([&] { return (box = FindMessageBox(product)) != nullptr; }, timeout_ms);
  return box;
}

std::wstring MessageBoxText(HWND box) {
  // The message is the static control with id 0xFFFF.
  return TextOf(GetDlgItem(box, 0xFFFF));
}

std::wstring MessageBoxCaption(HWND box) {
  return TextOf(box);
}

HWND MessageBoxButton(HWND box, int id) {
  HWND button = GetDlgItem(box, id);
  return (button != nullptr && IsWindowVisible(button)) ? button : nullptr;
}

void AnswerMessageBox(HWND box, int id) {
  PostMessageW(box, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(box, id)));
}

std::string ReadFileBytes(const std::wstring& path) {
  std::string bytes;
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return bytes;
  char chunk[4096];
  DWORD got = 0;
  while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got > 0) bytes.append(chunk, got);
  CloseHandle(file);
  return bytes;
}

void WriteFileBytes(const std::wstring& path, const std::string& bytes) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(file);
}
