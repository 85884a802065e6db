// How fast the window answers while an attempt is running. The product is
// started with the gated stand-in as the system's wsl.exe, so that its
// first run stays busy until we open the gate. WM_NULL probes are timed
// first against the idle window, then against the busy one (the worker
// blocked in the runner), same window, same process.
//
//   busy_bench PRODUCT_EXE GATED_WSL_EXE [PROBES]
#include <windows.h>

#include <stdio.h>
#include <wchar.h>

#include <string>
#include <vector>

#include "bench/bench_common.h"

namespace {

constexpr wchar_t kProductClass[] = L"QuenvaleEnrollment";
constexpr wchar_t kValidCode[] = L"qvw1|https://quenvale.com|qvt_abcdefghijklmnop";
constexpr UINT kProbeTimeoutMs = 5000;
constexpr int kCodeFieldIndex = 2;  // third child control
constexpr int kJoinIndex = 5;       // sixth: the join button

std::wstring g_system_wsl;
std::wstring g_saved_wsl;
std::wstring g_dir;
bool g_installed;

std::wstring InDir(const wchar_t* name) {
  return g_dir + L"\\" + name;
}

bool WriteSmallFile(const std::wstring& path, const char* bytes) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const DWORD length = static_cast<DWORD>(strlen(bytes));
  const bool ok = WriteFile(file, bytes, length, &written, nullptr) && written == length;
  CloseHandle(file);
  return ok;
}

bool Exists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// The stand-in becomes the system's wsl.exe; one already there is kept
// aside and put back afterwards.
bool InstallStandIn(const wchar_t* gated) {
  wchar_t system_directory[MAX_PATH];
  GetSystemDirectoryW(system_directory, MAX_PATH);
  g_system_wsl = std::wstring(system_directory) + L"\\wsl.exe";
  g_saved_wsl = g_system_wsl + L".bench-saved";
  if (Exists(g_system_wsl) && !MoveFileExW(g_system_wsl.c_str(), g_saved_wsl.c_str(), MOVEFILE_REPLACE_EXISTING)) {
    return false;
  }
  g_installed = CopyFileW(gated, g_system_wsl.c_str(), FALSE) != 0;
  return g_installed;
}

void Cleanup();

// Nothing of ours stays behind, even when a step fails.
[[noreturn]] void Abort(const char* what) {
  Cleanup();
  bench::Fail(what);
}

void Cleanup() {
  if (g_installed) DeleteFileW(g_system_wsl.c_str());
  if (Exists(g_saved_wsl)) MoveFileExW(g_saved_wsl.c_str(), g_system_wsl.c_str(), MOVEFILE_REPLACE_EXISTING);
  if (!g_dir.empty()) {
    for (const wchar_t* name : {L"output.bin", L"exit-code.txt", L"open-gate", L"wsl-commands.log"}) {
      DeleteFileW(InDir(name).c_str());
    }
    RemoveDirectoryW(g_dir.c_str());
  }
}

HWND ChildAt(HWND window, int index) {
  HWND child = GetWindow(window, GW_CHILD);
  for (int i = 0; i < index && child != nullptr; ++i) child = GetWindow(child, GW_HWNDNEXT);
  return child;
}

template <typename Predicate>
bool WaitUntil(Predicate done, double timeout_ms) {
  const double end = bench::NowMs() + timeout_ms;
  while (!done()) {
    if (bench::NowMs() > end) return false;
    Sleep(5);
  }
  return true;
}

struct Probes {
  std::vector<double> ms;
  int timeouts = 0;
};

Probes ProbeSeries(HWND window, int count) {
  Probes probes;
  for (int i = 0; i < count; ++i) {
    const double ms = bench::ProbeWindow(window, kProbeTimeoutMs);
    if (ms < 0) {
      ++probes.timeouts;
      probes.ms.push_back(kProbeTimeoutMs);
    } else {
      probes.ms.push_back(ms);
    }
    Sleep(10);
  }
  return probes;
}

void PrintSeries(const char* name, const Probes& probes) {
  double sum = 0;
  for (double v : probes.ms) sum += v;
  printf("  %-5s %3zu probes: median %.3f ms, p95 %.3f ms, worst %.3f ms, best %.3f ms, mean %.3f ms, "
         "timeouts %d\n",
         name, probes.ms.size(), bench::Median(probes.ms), bench::Percentile(probes.ms, 0.95),
         bench::Maximum(probes.ms), bench::Minimum(probes.ms), sum / static_cast<double>(probes.ms.size()),
         probes.timeouts);
}

int Run(const wchar_t* product, const wchar_t* gated, int count) {
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  g_dir = std::wstring(temp) + L"qv-busy-bench-" + std::to_wstring(GetCurrentProcessId());
  if (!CreateDirectoryW(g_dir.c_str(), nullptr)) Abort("creating the stand-in's folder");
  // A run that would succeed once the gate opens: the preflight and the
  // enrollment run both print every marker they need.
  if (!WriteSmallFile(InDir(L"output.bin"), "QV_PREFLIGHT\nQV_DOCKER_OK\nQV_INSTALL_RUNNING\nI_CONNECTED\n") ||
      !WriteSmallFile(InDir(L"exit-code.txt"), "0")) {
    Abort("preparing the stand-in's output");
  }
  if (!InstallStandIn(gated)) Abort("installing the stand-in as the system's wsl.exe");
  // Passed on to the product, and by it to the stand-in.
  SetEnvironmentVariableW(L"QV_TEST_DIR", g_dir.c_str());
  SetEnvironmentVariableW(L"QV_TEST_GATE", L"1");

  std::wstring command_line = L"\"" + std::wstring(product) + L"\"";
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION child = {};
  if (!CreateProcessW(product, &command_line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &child)) {
    Abort("starting the product");
  }
  CloseHandle(child.hThread);
  HWND window = nullptr;
  const bool found = WaitUntil(
      [&] {
        window = bench::FindVisibleWindow(child.dwProcessId, kProductClass);
        return window != nullptr && bench::ProbeWindow(window, kProbeTimeoutMs) >= 0;
      },
      30000);
  int result = 1;
  if (!found) {
    printf("busy: the product's window did not appear\n");
  } else {
    HWND code_field = ChildAt(window, kCodeFieldIndex);
    HWND join = ChildAt(window, kJoinIndex);
    const Probes idle = ProbeSeries(window, count);

    SendMessageW(code_field, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(kValidCode));
    PostMessageW(join, BM_CLICK, 0, 0);
    // A posted click is handled once the program has taken a sent message.
    const bool busy = WaitUntil(
        [&] {
          bench::ProbeWindow(window, kProbeTimeoutMs);
          return !IsWindowEnabled(join);
        },
        20000);
    const bool stand_in_started = busy && WaitUntil([&] { return Exists(InDir(L"wsl-commands.log")); }, 20000);
    if (!busy || !stand_in_started) {
      printf("busy: the attempt did not start (join disabled: %s, stand-in started: %s)\n", busy ? "yes" : "no",
             stand_in_started ? "yes" : "no");
    } else {
      const Probes during = ProbeSeries(window, count);
      const bool still_busy = !IsWindowEnabled(join);
      WriteSmallFile(InDir(L"open-gate"), "");
      const bool finished = WaitUntil(
          [&] {
            bench::ProbeWindow(window, kProbeTimeoutMs);
            return IsWindowEnabled(join) != FALSE;
          },
          60000);
      wchar_t left[64] = {};
      SendMessageW(code_field, WM_GETTEXT, 64, reinterpret_cast<LPARAM>(left));

      printf("busy: SendMessageTimeoutW(WM_NULL) round trips to the product's window, %d probes 10 ms apart\n",
             count);
      printf("  idle: before the join; busy: while the worker waits on the gated stand-in's first run\n");
      PrintSeries("idle", idle);
      PrintSeries("busy", during);
      printf("BUSY WORST %.3f ms, MEDIAN %.3f ms (target: worst < 50 ms); busy/idle median ratio %.3f, "
             "worst ratio %.3f\n",
             bench::Maximum(during.ms), bench::Median(during.ms), bench::Median(during.ms) / bench::Median(idle.ms),
             bench::Maximum(during.ms) / bench::Maximum(idle.ms));
      printf("  still busy after the last probe: %s; attempt ended after the gate opened: %s; code field emptied "
             "(outcome 0): %s\n",
             still_busy ? "yes" : "NO (probes not all during the run)", finished ? "yes" : "NO",
             (finished && left[0] == 0) ? "yes" : "no");
      result = (still_busy && finished && during.timeouts == 0) ? 0 : 1;
    }
  }
  fflush(stdout);
  bench::StopProcess(child.hProcess, window, 10000);
  CloseHandle(child.hProcess);
  return result;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 3 || argc > 4) {
    fprintf(stderr, "usage: busy_bench PRODUCT_EXE GATED_WSL_EXE [PROBES]\n");
    return 2;
  }
  const int count = argc == 4 ? _wtoi(argv[3]) : 100;
  if (count < 1) return 2;
  const int result = Run(argv[1], argv[2], count);
  Cleanup();
  return result;
}
