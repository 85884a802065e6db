// Walks QuenvaleEnroll.exe through attempts as a user would and prints what
// the user saw, one line per attempt:
//   prompts=3,2 outcome=0 code=cleared distro=Ubuntu
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

#include <stdio.h>

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

// A new code from the lab, or an empty text.
std::wstring NewCode() {
  char unix_path[64];
  snprintf(unix_path, sizeof unix_path, "/tmp/qv-e2e-code.%lu", static_cast<unsigned long>(GetCurrentProcessId()));
  if (RunOnLinux({"/bin/sh", "-c", "\"$0\" code >\"$1\"", LabScript(), unix_path}) != 0) return std::wstring();
  std::wstring windows_path = L"Z:";
  for (const char* c = unix_path; *c != 0; ++c) windows_path += *c == '/' ? L'\\' : static_cast<wchar_t>(*c);
  HANDLE file = CreateFileW(windows_path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  std::wstring code;
  if (file != INVALID_HANDLE_VALUE) {
    char buffer[512];
    DWORD count = 0;
    if (ReadFile(file, buffer, sizeof buffer - 1, &count, nullptr)) {
      for (DWORD i = 0; i < count && buffer[i] != '\n' && buffer[i] != '\r'; ++i) code += static_cast<wchar_t>(buffer[i]);
    }
    CloseHandle(file);
  }
  DeleteFileW(windows_path.c_str());
  return code;
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
  if (status == kStatusInvalidCode || status == kStatusInvalidDistro) return -1;
  return -2;
}

// The code field when join was pressed: afterwards it is kept, cleared or
// changed.
std::wstring PressJoin(const ProductProcess& product) {
  const std::wstring code_before = TextOf(ControlAt(product.window, kCodeField));
  SetText(ControlAt(product.window, kStatus), L"-");
  Click(ControlAt(product.window, kJoin));
  return code_before;
}

// Follows a pressed join to its outcome: prompts answered, progress noted.
bool FollowAttempt(const ProductProcess& product, const std::wstring& code_before, std::vector<bool>* answers,
                   std::string* line) {
  HWND status = ControlAt(product.window, kStatus);
  HWND join = ControlAt(product.window, kJoin);
  std::string prompts;
  std::vector<std::string> progress;
  int result = -2;
  const bool ended = WaitUntil(
      [&] {
        if (HWND box = FindMessageBox(product)) {
          const int kind = PromptKindOf(MessageBoxText(box));
          if (!prompts.empty()) prompts += ",";
          prompts += kind != 0 ? std::to_string(kind) : "?" + Narrow(MessageBoxText(box));
          bool yes = false;
          if (!answers->empty()) {
            yes = answers->front();
            answers->erase(answers->begin());
          }
          AnswerMessageBox(box, yes ? IDYES : IDNO);
          WaitUntil([&] { return FindMessageBox(product) != box; }, 10000);
          return false;
        }
        const std::wstring shown = TextOf(status);
        if (shown == kProgressWslInstaller && (progress.empty() || progress.back() != "1")) progress.push_back("1");
        if (shown == kProgressDependencies && (progress.empty() || progress.back() != "deps")) progress.push_back("deps");
        result = ShownResult(shown);
        return result != -2 && IsWindowEnabled(join);
      },
      600000);
  if (!ended) return false;

  std::string progress_text;
  for (const std::string& p : progress) progress_text += (progress_text.empty() ? "" : ",") + p;
  const std::wstring code_after = TextOf(ControlAt(product.window, kCodeField));
  *line = "prompts=" + (prompts.empty() ? std::string("none") : prompts) +
          " progress=" + (progress_text.empty() ? std::string("none") : progress_text) +
          " outcome=" + (result == -1 ? std::string("rejected") : std::to_string(result)) +
          " code=" + (code_after.empty() && !code_before.empty() ? "cleared" : code_after == code_before ? "kept" : "changed") +
          " distro=" + (TextOf(ControlAt(product.window, kDistroField)).empty() ? std::string("empty")
                                                                              : Narrow(TextOf(ControlAt(product.window, kDistroField))));
  return true;
}

// Follows the attempt and prints its line; 0, or 1 when it did not end.
int ReportAttempt(const ProductProcess& product, const std::wstring& code_before, std::vector<bool>* answers) {
  std::string line;
  if (!FollowAttempt(product, code_before, answers, &line)) {
    fprintf(stderr, "the attempt did not end\n");
    return 1;
  }
  printf("%s\n", line.c_str());
  fflush(stdout);
  return 0;
}

// What a busy window shows, once the attempt has started.
bool SeeBusy(const ProductProcess& product, std::string* line) {
  HWND status = ControlAt(product.window, kStatus);
  HWND join = ControlAt(product.window, kJoin);
  if (!WaitUntil([&] { return !IsWindowEnabled(join) || ShownResult(TextOf(status)) != -2; })) return false;
  const bool fields_disabled = !IsWindowEnabled(ControlAt(product.window, kCodeField)) &&
                               !IsWindowEnabled(ControlAt(product.window, kDistroField));
  *line = std::string("busy status=") + (TextOf(status) == kStatusStarted ? "started" : "other") +
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
  if (!StartProduct(argv[1], L"", &product)) {
    // Which of the two failed, and why: a start that fails now and then
    // under load is otherwise indistinguishable from a window that never came.
    const DWORD error = GetLastError();
    fprintf(stderr, "the window did not appear (the program %s; last error %lu)\n",
            product.process != nullptr ? "started" : "could not be started", error);
    return 1;
  }
  std::vector<bool> answers;
  std::wstring code_before;  // of the attempt that press-join started
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
        status = ReportAttempt(product, code_before, &answers);
      }
    } else if (step == L"press-join") {
      code_before = PressJoin(product);
      pressed = true;
      std::string line;
      if (!SeeBusy(product, &line)) {
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
      std::vector<std::string> words = {"/bin/sh", LabScript()};
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
  if (status == 0 && exit_code != 0) {
    fprintf(stderr, "the program ended with %ld\n", exit_code);
    status = 1;
  }
  return status;
}
