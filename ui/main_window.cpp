#include "ui/main_window.h"

#include <shellapi.h>

#include "core/config.h"
#include "core/enrollment_job.h"
#include "core/outcome.h"
#include "ui/base64_win32.h"
#include "ui/worker_messages.h"
#include "ui/worker_thread.h"

namespace {

HWND g_code_field;
HWND g_distro_field;
HWND g_join_button;
HWND g_status_line;
// 1 from the start of a worker until its WM_ENROLL_DONE arrives; touched
// only on this thread.
BYTE g_busy;

// What the fields take: the code and distribution buffers less their terminators.
constexpr int kCodeFieldLimit = static_cast<int>(kCodeCapacity - 1);
constexpr int kDistroFieldLimit = static_cast<int>(kDistroCapacity - 1);

HWND CreateControl(HWND parent, const wchar_t* control_class, const wchar_t* text, DWORD style, DWORD ex_style,
                   int x, int y, int width, int height, int id) {
  HWND control = CreateWindowExW(ex_style, control_class, text, WS_CHILD | WS_VISIBLE | style, x, y, width, height,
                                 parent, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                                 GetModuleHandleW(nullptr), nullptr);
  SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(GetStockObject(DEFAULT_GUI_FONT)), TRUE);
  return control;
}

// The nine controls, in Tab order.
void OnCreate(HWND window) {
  CreateControl(window, L"STATIC", kHeadingText, 0, 0, 20, 16, 440, 24, 0);
  CreateControl(window, L"STATIC", kCodeLabelText, 0, 0, 20, 49, 440, 22, 0);
  g_code_field = CreateControl(window, L"EDIT", L"", WS_TABSTOP | ES_AUTOHSCROLL | ES_PASSWORD, WS_EX_CLIENTEDGE,
                               20, 72, 438, 26, 0);
  SendMessageW(g_code_field, EM_LIMITTEXT, kCodeFieldLimit, 0);
  CreateControl(window, L"STATIC", kDistroLabelText, 0, 0, 20, 111, 440, 22, 0);
  g_distro_field =
      CreateControl(window, L"EDIT", L"", WS_TABSTOP | ES_AUTOHSCROLL, WS_EX_CLIENTEDGE, 20, 134, 438, 26, 0);
  SendMessageW(g_distro_field, EM_LIMITTEXT, kDistroFieldLimit, 0);
  g_join_button =
      CreateControl(window, L"BUTTON", kJoinButtonText, WS_TABSTOP | BS_DEFPUSHBUTTON, 0, 20, 174, 111, 34, IDC_JOIN);
  CreateControl(window, L"BUTTON", kWslGuideButtonText, WS_TABSTOP, 0, 145, 174, 143, 34, IDC_WSL_GUIDE);
  CreateControl(window, L"BUTTON", kDockerGuideButtonText, WS_TABSTOP, 0, 301, 174, 157, 34, IDC_DOCKER_GUIDE);
  g_status_line = CreateControl(window, L"STATIC", kStatusOpening, 0, 0, 20, 221, 438, 53, 0);
}

// A message parameter as a code: values beyond 32 bits must not wrap round
// to a valid outcome or prompt kind.
unsigned CodeOf(WPARAM parameter) {
  return parameter <= 0xFFFFFFFFu ? static_cast<unsigned>(parameter) : 0xFFFFFFFFu;
}

void ReadDistroField(void*, wchar_t* destination, size_t capacity) {
  GetWindowTextW(g_distro_field, destination, static_cast<int>(capacity));
}

void SetFormEnabled(BOOL enabled) {
  EnableWindow(g_join_button, enabled);
  EnableWindow(g_code_field, enabled);
  EnableWindow(g_distro_field, enabled);
}

// Builds a job from the form and hands it to a new worker thread.
void OnJoin(HWND window) {
  if (g_busy) return;
  EnrollmentJob* job = static_cast<EnrollmentJob*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof *job));
  if (job == nullptr) return;

  wchar_t code[kCodeCapacity] = {};
  GetWindowTextW(g_code_field, code, static_cast<int>(kCodeCapacity));
  const JobRequest request = {window, code, ReadDistroField, nullptr, DecodeBase64Win32};
  JobRejection rejection = JOB_ACCEPTED;
  if (!BuildEnrollmentJob(&request, job, &rejection)) {
    SetWindowTextW(g_status_line, rejection == JOB_INVALID_DISTRO ? kStatusInvalidDistro : kStatusInvalidCode);
    ReleaseJob(job);
    return;
  }

  HANDLE thread = CreateThread(nullptr, 0, EnrollmentWorkerThread, job, 0, nullptr);
  if (thread == nullptr) {
    SetWindowTextW(g_status_line, kStatusThreadFailed);
    ReleaseJob(job);
    return;
  }
  CloseHandle(thread);
  // From here the job belongs to the worker.
  g_busy = 1;
  SetFormEnabled(FALSE);
  SetWindowTextW(g_status_line, kStatusStarted);
}

void OpenPage(HWND window, const wchar_t* url) {
  ShellExecuteW(window, L"open", url, nullptr, nullptr, SW_SHOWNORMAL);
}

void OnCommand(HWND window, WPARAM wparam) {
  switch (LOWORD(wparam)) {
    case IDC_JOIN:
      OnJoin(window);
      break;
    case IDC_WSL_GUIDE:
      OpenPage(window, kWslGuideUrl);
      break;
    case IDC_DOCKER_GUIDE:
      OpenPage(window, kDockerGuideUrl);
      break;
    default:
      break;
  }
}

// Closing is refused while an attempt runs: the worker would post its
// outcome to a window that no longer exists.
void OnClose(HWND window) {
  if (g_busy) {
    MessageBoxW(window, kBusyCloseText, kBusyCloseCaption, MB_OK | MB_ICONINFORMATION);
    return;
  }
  DestroyWindow(window);
}

void OnEnrollDone(WPARAM outcome) {
  g_busy = 0;
  SetFormEnabled(TRUE);
  if (outcome == S_WSL_INSTALLED || outcome == S_REBOOT_REQUIRED) SetWindowTextW(g_distro_field, L"Ubuntu");
  // The code has been used or has expired.
  if (outcome == S_CONNECTED || outcome == E_TOKEN) SetWindowTextW(g_code_field, L"");
  SetWindowTextW(g_status_line, OutcomeMessage(CodeOf(outcome)));
  SetFocus(g_code_field);
}

LRESULT OnEnrollConfirm(HWND window, WPARAM kind) {
  const wchar_t* question = PromptQuestion(CodeOf(kind));
  if (question == nullptr) return 0;
  return MessageBoxW(window, question, kPromptCaption, MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2) == IDYES ? 1 : 0;
}

void OnEnrollProgress(WPARAM kind) {
  SetWindowTextW(g_status_line, ProgressText(CodeOf(kind)));
}

// IsDialogMessageW asks this when Enter is pressed and the focused control
// is not flagged as the default push button; unanswered, Enter became IDOK,
// which nothing handles. Join is the default. A help button with the focus
// answers for itself: a dialog box would have flagged it as the default when
// it took the focus, but a click on a button of a plain window flags
// nothing. A disabled default is not pressed, so Enter does nothing while an
// attempt runs (and OnJoin refuses then anyway).
LRESULT OnGetDefaultId(HWND window) {
  const HWND focus = GetFocus();
  const int focused = (focus != nullptr && GetParent(focus) == window) ? GetDlgCtrlID(focus) : 0;
  const int id = (focused == IDC_WSL_GUIDE || focused == IDC_DOCKER_GUIDE) ? focused : IDC_JOIN;
  return MAKELRESULT(id, DC_HASDEFID);
}

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_CREATE:
      OnCreate(window);
      return 0;
    case WM_COMMAND:
      OnCommand(window, wparam);
      return 0;
    case WM_CLOSE:
      OnClose(window);
      return 0;
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
    case WM_ENROLL_DONE:
      OnEnrollDone(wparam);
      return 0;
    case WM_ENROLL_CONFIRM:
      return OnEnrollConfirm(window, wparam);
    case WM_ENROLL_PROGRESS:
      OnEnrollProgress(wparam);
      return 0;
    case DM_GETDEFID:
      return OnGetDefaultId(window);
    default:
      return DefWindowProcW(window, message, wparam, lparam);
  }
}

}  // namespace

bool RegisterMainWindowClass(HINSTANCE instance) {
  WNDCLASSW window_class = {};
  window_class.lpfnWndProc = MainWindowProc;
  window_class.hInstance = instance;
  window_class.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  window_class.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_WINDOW + 1));
  window_class.lpszClassName = kMainWindowClass;
  return RegisterClassW(&window_class) != 0;
}

HWND CreateMainWindow(HINSTANCE instance) {
  return CreateWindowExW(WS_EX_CONTROLPARENT, kMainWindowClass, kWindowTitle, WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX,
                         CW_USEDEFAULT, CW_USEDEFAULT, kMainWindowWidth, kMainWindowHeight, nullptr, nullptr,
                         instance, nullptr);
}

void RunMainWindow(HWND window, int show) {
  ShowWindow(window, show);
  SetFocus(g_code_field);
  MSG message;
  // N.B. GetMessageW returns -1 on error: only a positive result is a message.
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    // Dialog navigation first: Tab between the fields, Enter on the join button.
    if (IsDialogMessageW(window, &message)) continue;
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
}

int RunEnrollmentProgram(HINSTANCE instance, int show) {
  if (!RegisterMainWindowClass(instance)) return 1;
  HWND window = CreateMainWindow(instance);
  if (window == nullptr) return 1;
  RunMainWindow(window, show);
  return 0;
}
