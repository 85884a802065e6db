// Walks QuenvaleEnroll.exe through attempts as a user would and prints, one
// line per attempt, what the user saw and the wsl.exe calls behind it:
//   prompts=3 progress=deps outcome=0 code=cleared distro=empty runs=preflight:0,dependency:0,...
// (outcome=rejected-code or rejected-distro: the join was refused at once).
// Progress and outcome are read from the status line's record: every text
// it showed, in order, however briefly (status_record.cpp, hooked into the
// program). The runs are the calls that the lab's wsl.exe ended while the
// attempt ran (lab.sh runs), once every wsl.exe the program started has
// ended; calls made between attempts belong to none.
// Steps, in order, from the command line:
//   code=TEXT     type into the code field
//   distro=TEXT   type into the distribution field
//   answers=yes,no  how to answer the next prompts (unlisted: No)
//   join          press the join button and follow the attempt to its end
//   press-join    press the join button and see the window busy:
//                   busy status=started join=disabled fields=disabled
//   try-close     close the window while busy: close=refused when the
//                 information box says why and the window stays
//   await-outcome follow the attempt of press-join to its end, as join does
//   lab=ACTION ARGS  run "lab.sh ACTION ARGS" (first-run, reboot, ...) on the
//                 Linux side; the words are split at spaces
//   await-first-run  wait until the lab's Ubuntu has its normal user
//   new-code      type a new valid code from the lab (lab.sh code) into the
//                 code field, as a provider pastes the next one
//   wsl=ARGS      run system32\wsl.exe ARGS to its end, as a provider does
//                 in a Command Prompt (--shutdown, --terminate Ubuntu)
// The first argument is the program to start; QV_LAB_SH names lab.sh.
#include <windows.h>
#include <tlhelp32.h>

#include <stdio.h>

#include <algorithm>
#include <string>
#include <vector>

#include "core/outcome.h"
#include "tests/gui/window_driver.h"

namespace {

using UnixSpawn = LONG(__cdecl*)(char* const argv[], int wait);

// Runs a Linux command to its end through Wine; its exit status, or -1.
long RunOnLinux(std::vector<std::string> words) {
  const UnixSpawn spawn = reinterpret_cast<UnixSpawn>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "__wine_unix_spawnvp")));
  if (spawn == nullptr) return -1;
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(&word[0]);
  argv.push_back(nullptr);
  return spawn(argv.data(), 1);
}

std::string LabScript() {
  char path[1024] = {};
  GetEnvironmentVariableA("QV_LAB_SH", path, sizeof path);
  return path;
}

// What "lab.sh ACTION" prints, or an empty text when it fails.
std::string LabOutput(const std::string& action) {
  char unix_path[64];
  snprintf(unix_path, sizeof unix_path, "/tmp/qv-e2e-lab.%lu", static_cast<unsigned long>(GetCurrentProcessId()));
  if (RunOnLinux({"/bin/sh", "-c", "\"$0\" \"$1\" >\"$2\"", LabScript(), action, unix_path}) != 0) {
    return std::string();
  }
  std::wstring windows_path = L"Z:";
  for (const char* c = unix_path; *c != 0; ++c) windows_path += *c == '/' ? L'\\' : static_cast<wchar_t>(*c);
  const std::string output = ReadFileBytes(windows_path);
  DeleteFileW(windows_path.c_str());
  return output;
}

// The lines of a text, empty ones left out.
template <typename Text>
std::vector<Text> LinesOf(const Text& text) {
  std::vector<Text> lines;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == Text::npos) end = text.size();
    if (end > at) lines.push_back(text.substr(at, end - at));
    at = end + 1;
  }
  return lines;
}

// A new code from the lab, or an empty text.
std::wstring NewCode() {
  const std::vector<std::string> lines = LinesOf(LabOutput("code"));
  std::wstring code;
  if (!lines.empty()) {
    for (char c : lines[0]) {
      if (c != '\r') code += static_cast<wchar_t>(c);
    }
  }
  return code;
}

// Every call the lab's wsl.exe has ended, in order: NAME:CODE or NAME!CODE.
std::vector<std::string> LabRuns() {
  return LinesOf(LabOutput("runs"));
}

// Runs system32\wsl.exe with ARGUMENTS to its end; its exit code, or -1.
long RunWslExe(const std::wstring& arguments) {
  wchar_t system[MAX_PATH];
  const UINT length = GetSystemDirectoryW(system, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return -1;
  std::wstring command_line = L"\"" + std::wstring(system) + L"\\wsl.exe\" " + arguments;
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(nullptr, &command_line[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &startup,
                      &process)) {
    return -1;
  }
  WaitForSingleObject(process.hProcess, 60000);
  DWORD exit_code = static_cast<DWORD>(-1);
  GetExitCodeProcess(process.hProcess, &exit_code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return static_cast<long>(exit_code);
}

std::string Narrow(const std::wstring& text) {
  std::string out;
  for (wchar_t unit : text) out += unit < 128 ? static_cast<char>(unit) : '?';
  return out;
}

// ---- The status line's record -------------------------------------------

// The record's file, this driver's own.
std::wstring StatusRecordPath() {
  wchar_t folder[MAX_PATH];
  const DWORD length = GetTempPathW(MAX_PATH, folder);
  return std::wstring(folder, length) + L"qv-e2e-status." + std::to_wstring(GetCurrentProcessId()) + L".txt";
}

// Every text the status line has shown since the record began, in order.
std::vector<std::wstring> StatusRecord() {
  const std::string bytes = ReadFileBytes(StatusRecordPath());
  return LinesOf(std::wstring(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / sizeof(wchar_t)));
}

// Hooks status_record.dll, which lies beside this driver, into the window's
// thread, and proves that the record works: the line's own text, set again,
// is its first entry. A text this driver sets is on the record only shortly
// after the program has answered (Wine calls the hook after the reply);
// what the program sets itself is on it before the program goes on.
bool RecordStatusLine(ProductProcess* product) {
  wchar_t self[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return false;
  std::wstring dll(self, length);
  dll.erase(dll.find_last_of(L'\\') + 1);
  dll += L"status_record.dll";
  HMODULE module = LoadLibraryW(dll.c_str());
  if (module == nullptr) return false;
  const HOOKPROC hook =
      reinterpret_cast<HOOKPROC>(reinterpret_cast<void*>(GetProcAddress(module, "StatusLineHook")));
  const DWORD thread = GetWindowThreadProcessId(product->window, nullptr);
  if (hook == nullptr || thread == 0) return false;
  // StopProduct removes it once the program has ended.
  product->hook = SetWindowsHookExW(WH_CALLWNDPROCRET, hook, module, thread);
  if (product->hook == nullptr) return false;
  HWND status = ControlAt(product->window, kStatus);
  const std::wstring opening = TextOf(status);
  SetText(status, opening);
  return WaitUntil([] { return !StatusRecord().empty(); }, 10000) &&
         StatusRecord() == std::vector<std::wstring>{opening};
}

// Waits until no wsl.exe that the program started is running: the program
// opens Ubuntu after the installer without waiting for it.
bool AwaitWslCallsOf(const ProductProcess& product) {
  return WaitUntil(
      [&] {
        HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
        if (snapshot == INVALID_HANDLE_VALUE) return false;
        PROCESSENTRY32W entry = {};
        entry.dwSize = sizeof entry;
        bool running = false;
        for (BOOL more = Process32FirstW(snapshot, &entry); more && !running;
             more = Process32NextW(snapshot, &entry)) {
          running = entry.th32ParentProcessID == product.id && lstrcmpiW(entry.szExeFile, L"wsl.exe") == 0;
        }
        CloseHandle(snapshot);
        return !running;
      },
      120000);
}

// ---- Attempts ------------------------------------------------------------

int PromptKindOf(const std::wstring& question) {
  for (unsigned kind = PROMPT_INSTALL_WSL; kind <= PROMPT_TOOLS_AND_DOCKER; ++kind) {
    if (question == PromptQuestion(kind)) return static_cast<int>(kind);
  }
  return 0;
}

// The outcome whose message the status line shows, -1 for a rejection,
// -2 for anything else.
int ShownResult(const std::wstring& status) {
  for (unsigned code = 0; code < kOutcomeCount; ++code) {
    if (status == OutcomeMessage(code)) return static_cast<int>(code);
  }
  if (status == kStatusInvalidCode) return -1;
  if (status == kStatusInvalidDistro) return -3;
  return -2;
}

// Where an attempt began: the code field when join was pressed (afterwards
// it is kept, cleared or changed), and how far the status line's record and
// the lab's runs had come by then.
struct JoinStart {
  std::wstring code_before;
  size_t shown = 0;
  size_t runs = 0;
};

JoinStart PressJoin(const ProductProcess& product) {
  JoinStart start;
  start.code_before = TextOf(ControlAt(product.window, kCodeField));
  // The attempt's texts are those after this one, on the record shortly
  // after the program has answered (see RecordStatusLine).
  SetText(ControlAt(product.window, kStatus), L"-");
  WaitUntil([&] {
    const std::vector<std::wstring> record = StatusRecord();
    start.shown = record.size();
    return !record.empty() && record.back() == L"-";
  }, 10000);
  start.runs = LabRuns().size();
  Click(ControlAt(product.window, kJoin));
  return start;
}

std::string Listed(const std::vector<std::string>& items) {
  std::string text;
  for (const std::string& item : items) text += (text.empty() ? "" : ",") + item;
  return text.empty() ? "none" : text;
}

// Follows a pressed join to its outcome, answering the prompts, and says
// what came of it.
bool FollowAttempt(const ProductProcess& product, const JoinStart& start, std::vector<bool>* answers,
                   std::string* line) {
  HWND status = ControlAt(product.window, kStatus);
  HWND join = ControlAt(product.window, kJoin);
  std::vector<std::string> prompts;
  const bool ended = WaitUntil(
      [&] {
        if (HWND box = FindMessageBox(product)) {
          const int kind = PromptKindOf(MessageBoxText(box));
          prompts.push_back(kind != 0 ? std::to_string(kind) : "?" + Narrow(MessageBoxText(box)));
          bool yes = false;
          if (!answers->empty()) {
            yes = answers->front();
            answers->erase(answers->begin());
          }
          AnswerMessageBox(box, yes ? IDYES : IDNO);
          WaitUntil([&] { return FindMessageBox(product) != box; }, 10000);
          return false;
        }
        return ShownResult(TextOf(status)) != -2 && IsWindowEnabled(join);
      },
      600000);
  if (!ended) return false;
  if (!AwaitWslCallsOf(product)) {
    fprintf(stderr, "a wsl.exe that the program started is still running\n");
    return false;
  }

  // Since join: the started text, the progress texts, and last the
  // outcome. Any other text counts as progress, shown as it stands.
  const std::vector<std::wstring> record = StatusRecord();
  std::vector<std::string> progress;
  int result = -2;
  for (size_t i = start.shown; i < record.size(); ++i) {
    if (i + 1 == record.size()) {
      result = ShownResult(record[i]);
    } else if (record[i] == kProgressWslInstaller) {
      progress.push_back("1");
    } else if (record[i] == kProgressDependencies) {
      progress.push_back("deps");
    } else if (record[i] != kStatusStarted) {
      progress.push_back("?" + Narrow(record[i]));
    }
  }
  std::vector<std::string> runs = LabRuns();
  runs.erase(runs.begin(), runs.begin() + static_cast<std::ptrdiff_t>(std::min(start.runs, runs.size())));
  const std::wstring code_after = TextOf(ControlAt(product.window, kCodeField));
  const std::wstring distro = TextOf(ControlAt(product.window, kDistroField));
  *line = "prompts=" + Listed(prompts) + " progress=" + Listed(progress) + " outcome=" +
          (result == -1   ? "rejected-code"
           : result == -3 ? "rejected-distro"
           : result == -2 ? "unknown"
                          : std::to_string(result)) +
          " code=" +
          (code_after.empty() && !start.code_before.empty() ? "cleared"
           : code_after == start.code_before               ? "kept"
                                                           : "changed") +
          " distro=" + (distro.empty() ? std::string("empty") : Narrow(distro)) + " runs=" + Listed(runs);
  return true;
}

// Follows the attempt and prints its line; 0, or 1 when it did not end.
int ReportAttempt(const ProductProcess& product, const JoinStart& start, std::vector<bool>* answers) {
  std::string line;
  if (!FollowAttempt(product, start, answers, &line)) {
    fprintf(stderr, "the attempt did not end\n");
    return 1;
  }
  printf("%s\n", line.c_str());
  fflush(stdout);
  return 0;
}

// What a busy window shows, once the program has handled the press: its
// first text since then is on the status line's record. (The buttons' and
// fields' states can be read while the program is still disabling them one
// by one.)
bool SeeBusy(const ProductProcess& product, const JoinStart& start, std::string* line) {
  HWND join = ControlAt(product.window, kJoin);
  std::vector<std::wstring> record;
  if (!WaitUntil([&] { return (record = StatusRecord()).size() > start.shown; })) return false;
  const bool fields_disabled = !IsWindowEnabled(ControlAt(product.window, kCodeField)) &&
                               !IsWindowEnabled(ControlAt(product.window, kDistroField));
  *line = std::string("busy status=") + (record[start.shown] == kStatusStarted ? "started" : "other") +
          " join=" + (IsWindowEnabled(join) ? "enabled" : "disabled") +
          " fields=" + (fields_disabled ? "disabled" : "enabled");
  return true;
}

// Closes the window as its title bar would, and says what came of it.
std::string TryClose(const ProductProcess& product) {
  PostMessageW(product.window, WM_CLOSE, 0, 0);
  HWND box = WaitForMessageBox(product, 10000);
  if (box == nullptr) return IsWindow(product.window) ? "close=ignored" : "close=closed";
  const bool says_why = MessageBoxText(box) == kBusyCloseText && MessageBoxCaption(box) == kBusyCloseCaption;
  const std::string box_text = Narrow(MessageBoxText(box));
  AnswerMessageBox(box, IDOK);
  WaitUntil([&] { return FindMessageBox(product) != box; }, 10000);
  if (!IsWindow(product.window) || WaitForSingleObject(product.process, 0) != WAIT_TIMEOUT) return "close=closed";
  return says_why ? "close=refused" : "close=box:" + box_text;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: e2e_driver PROGRAM.exe STEP...\n");
    return 2;
  }
  ProductProcess product;
  DeleteFileW(StatusRecordPath().c_str());
  if (!StartProduct(argv[1], L"QV_E2E_STATUS_RECORD=" + StatusRecordPath(), &product)) {
    // Which of the two failed, and why: a start that fails now and then
    // under load is otherwise indistinguishable from a window that never came.
    const DWORD error = GetLastError();
    fprintf(stderr, "the window did not appear (the program %s; last error %lu)\n",
            product.process != nullptr ? "started" : "could not be started", error);
    return 1;
  }
  if (!RecordStatusLine(&product)) {
    fprintf(stderr, "the status line cannot be recorded (status_record.dll)\n");
    StopProduct(&product);
    return 1;
  }
  std::vector<bool> answers;
  JoinStart pressed_start;  // of the attempt that press-join started
  bool pressed = false;
  int status = 0;
  for (int i = 2; i < argc && status == 0; ++i) {
    const std::wstring step = argv[i];
    if (step.rfind(L"code=", 0) == 0) {
      SetText(ControlAt(product.window, kCodeField), step.substr(5));
    } else if (step.rfind(L"distro=", 0) == 0) {
      SetText(ControlAt(product.window, kDistroField), step.substr(7));
    } else if (step.rfind(L"answers=", 0) == 0) {
      answers.clear();
      const std::wstring list = step.substr(8) + L",";
      for (size_t at = 0, next; (next = list.find(L',', at)) != std::wstring::npos; at = next + 1) {
        if (next > at) answers.push_back(list.substr(at, next - at) == L"yes");
      }
    } else if (step == L"join") {
      status = ReportAttempt(product, PressJoin(product), &answers);
    } else if (step == L"await-outcome") {
      if (!pressed) {
        fprintf(stderr, "await-outcome without press-join\n");
        status = 2;
      } else {
        pressed = false;
        status = ReportAttempt(product, pressed_start, &answers);
      }
    } else if (step == L"press-join") {
      pressed_start = PressJoin(product);
      pressed = true;
      std::string line;
      if (!SeeBusy(product, pressed_start, &line)) {
        fprintf(stderr, "the window never became busy\n");
        status = 1;
      } else {
        printf("%s\n", line.c_str());
        fflush(stdout);
      }
    } else if (step == L"try-close") {
      printf("%s\n", TryClose(product).c_str());
      fflush(stdout);
    } else if (step.rfind(L"lab=", 0) == 0) {
      // What the step prints is not what the user saw: it goes with the
      // driver's own complaints.
      std::vector<std::string> words = {"/bin/sh", "-c", "exec /bin/sh \"$0\" \"$@\" >&2", LabScript()};
      const std::string action = Narrow(step.substr(4)) + " ";
      for (size_t at = 0, next; (next = action.find(' ', at)) != std::string::npos; at = next + 1) {
        if (next > at) words.push_back(action.substr(at, next - at));
      }
      if (RunOnLinux(words) != 0) {
        fprintf(stderr, "lab.sh %ls failed\n", step.c_str() + 4);
        status = 1;
      }
    } else if (step == L"new-code") {
      const std::wstring code = NewCode();
      if (code.empty()) {
        fprintf(stderr, "lab.sh code gave no code\n");
        status = 1;
      } else {
        SetText(ControlAt(product.window, kCodeField), code);
      }
    } else if (step.rfind(L"wsl=", 0) == 0) {
      const long exit_code = RunWslExe(step.substr(4));
      if (exit_code != 0) {
        fprintf(stderr, "wsl.exe %ls ended with %ld\n", step.c_str() + 4, exit_code);
        status = 1;
      }
    } else if (step == L"await-first-run") {
      // Ubuntu is opened without waiting for it; its set-up is done when
      // the lab says so.
      const bool done = WaitUntil(
          [] {
            return RunOnLinux({"/bin/sh", "-c", "\"$0\" status | grep -q first_run=done", LabScript()}) == 0;
          },
          60000);
      if (!done) {
        fprintf(stderr, "Ubuntu's first-run set-up never completed\n");
        status = 1;
      }
    } else {
      fprintf(stderr, "unknown step: %ls\n", step.c_str());
      status = 2;
    }
  }
  const long exit_code = StopProduct(&product);
  DeleteFileW(StatusRecordPath().c_str());
  if (status == 0 && exit_code != 0) {
    fprintf(stderr, "the program ended with %ld\n", exit_code);
    status = 1;
  }
  return status;
}
