// Start-up to a visible window that answers, for the product against a bare
// window program of ours: from CreateProcessW until a visible top-level
// window of the expected class belongs to the new process and has answered
// SendMessageTimeoutW(WM_NULL). The two programs alternate round by round;
// one discarded start of each comes first.
//
//   startup_bench PRODUCT_EXE MINIMAL_EXE [ROUNDS]
#include <windows.h>

#include <stdio.h>
#include <wchar.h>

#include <string>
#include <vector>

#include "bench/bench_common.h"

namespace {

constexpr wchar_t kProductClass[] = L"QuenvaleEnrollment";
constexpr wchar_t kMinimalClass[] = L"QvBenchMinimalWindow";
constexpr double kGiveUpMs = 30000;

// Milliseconds to a visible, answering window; negative on failure.
double TimeToResponsiveWindow(const wchar_t* exe, const wchar_t* class_name) {
  std::wstring command_line = L"\"" + std::wstring(exe) + L"\"";
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION child = {};
  const double start = bench::NowMs();
  if (!CreateProcessW(exe, &command_line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &child)) {
    fprintf(stderr, "bench: cannot start %ls (error %lu)\n", exe, GetLastError());
    return -1;
  }
  CloseHandle(child.hThread);
  double elapsed = -1;
  HWND window = nullptr;
  for (;;) {
    window = bench::FindVisibleWindow(child.dwProcessId, class_name);
    if (window != nullptr && bench::ProbeWindow(window, 5000) >= 0) {
      elapsed = bench::NowMs() - start;
      break;
    }
    if (WaitForSingleObject(child.hProcess, 0) == WAIT_OBJECT_0) {
      fprintf(stderr, "bench: %ls ended before its window answered\n", exe);
      break;
    }
    if (bench::NowMs() - start > kGiveUpMs) {
      fprintf(stderr, "bench: no answering %ls window from %ls\n", class_name, exe);
      break;
    }
    Sleep(1);
  }
  bench::StopProcess(child.hProcess, window, 10000);
  CloseHandle(child.hProcess);
  // Let the previous program's teardown settle before the next start.
  Sleep(150);
  return elapsed;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 3 || argc > 4) {
    fprintf(stderr, "usage: startup_bench PRODUCT_EXE MINIMAL_EXE [ROUNDS]\n");
    return 2;
  }
  const wchar_t* product = argv[1];
  const wchar_t* minimal = argv[2];
  const int rounds = argc == 4 ? _wtoi(argv[3]) : 21;
  if (rounds < 1) return 2;

  printf("start-up: CreateProcessW until a visible window of the class answers WM_NULL\n");
  printf("  product %ls (class %ls)\n  minimal %ls (class %ls)\n", product, kProductClass, minimal, kMinimalClass);
  const double warm_product = TimeToResponsiveWindow(product, kProductClass);
  const double warm_minimal = TimeToResponsiveWindow(minimal, kMinimalClass);
  printf("  discarded first starts: product %.1f ms, minimal %.1f ms\n", warm_product, warm_minimal);
  if (warm_product < 0 || warm_minimal < 0) return 1;

  printf("  %-5s  %10s  %10s  %6s\n", "round", "minimal ms", "product ms", "ratio");
  std::vector<double> product_ms, minimal_ms, ratios;
  int failures = 0;
  for (int round = 1; round <= rounds; ++round) {
    double p, m;
    if (round % 2 == 1) {
      m = TimeToResponsiveWindow(minimal, kMinimalClass);
      p = TimeToResponsiveWindow(product, kProductClass);
    } else {
      p = TimeToResponsiveWindow(product, kProductClass);
      m = TimeToResponsiveWindow(minimal, kMinimalClass);
    }
    if (p < 0 || m < 0) {
      ++failures;
      printf("  %-5d  measurement failed: round left out\n", round);
      continue;
    }
    product_ms.push_back(p);
    minimal_ms.push_back(m);
    ratios.push_back(p / m);
    printf("  %-5d  %10.1f  %10.1f  %6.3f\n", round, m, p, p / m);
    fflush(stdout);
  }
  if (ratios.empty()) {
    printf("start-up: no round completed\n");
    return 1;
  }
  const double p = bench::Median(product_ms);
  const double m = bench::Median(minimal_ms);
  printf("  median minimal %.1f ms (min %.1f, max %.1f); median product %.1f ms (min %.1f, max %.1f)\n", m,
         bench::Minimum(minimal_ms), bench::Maximum(minimal_ms), p, bench::Minimum(product_ms),
         bench::Maximum(product_ms));
  printf("STARTUP RATIO product/minimal: %.3f (ratio of medians; median of per-round ratios %.3f; target <= 1.20; "
         "%zu rounds)\n",
         p / m, bench::Median(ratios), ratios.size());
  if (failures > 0) printf("  %d round(s) failed and were left out\n", failures);
  fflush(stdout);
  return failures == 0 ? 0 : 1;
}
