// Small helpers shared by the benchmark drivers: a monotonic clock, order
// statistics, the windows of another process, and command-line paths.
#pragma once

#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

#include <algorithm>
#include <vector>

namespace bench {

inline double NowMs() {
  static LARGE_INTEGER frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return f;
  }();
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return static_cast<double>(now.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

// The median of the values (the mean of the middle two for an even count).
inline double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  return (n % 2 == 1) ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

inline double Minimum(const std::vector<double>& values) {
  return values.empty() ? 0 : *std::min_element(values.begin(), values.end());
}

inline double Maximum(const std::vector<double>& values) {
  return values.empty() ? 0 : *std::max_element(values.begin(), values.end());
}

// The value below which `fraction` of the values lie (nearest rank).
inline double Percentile(std::vector<double> values, double fraction) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  size_t rank = static_cast<size_t>(fraction * static_cast<double>(values.size()) + 0.999999);
  if (rank < 1) rank = 1;
  if (rank > values.size()) rank = values.size();
  return values[rank - 1];
}

// The first visible top-level window of `process_id` with this class.
struct WindowSearch {
  DWORD process_id;
  const wchar_t* class_name;
  HWND found;
};

inline BOOL CALLBACK MatchWindow(HWND window, LPARAM parameter) {
  WindowSearch* search = reinterpret_cast<WindowSearch*>(parameter);
  DWORD owner = 0;
  GetWindowThreadProcessId(window, &owner);
  if (owner != search->process_id || !IsWindowVisible(window)) return TRUE;
  wchar_t name[64] = {};
  GetClassNameW(window, name, 64);
  if (wcscmp(name, search->class_name) != 0) return TRUE;
  search->found = window;
  return FALSE;
}

inline HWND FindVisibleWindow(DWORD process_id, const wchar_t* class_name) {
  WindowSearch search = {process_id, class_name, nullptr};
  EnumWindows(MatchWindow, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

// One WM_NULL round trip; the time in ms, or a negative value when the
// window did not answer within `timeout_ms`.
inline double ProbeWindow(HWND window, UINT timeout_ms) {
  DWORD_PTR result = 0;
  const double start = NowMs();
  const LRESULT answered = SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_NORMAL, timeout_ms, &result);
  const double elapsed = NowMs() - start;
  return answered != 0 ? elapsed : -1;
}

// Ends a program of ours that is still running after its window was asked
// to close.
inline void StopProcess(HANDLE process, HWND window, DWORD grace_ms) {
  if (window != nullptr && IsWindow(window)) PostMessageW(window, WM_CLOSE, 0, 0);
  if (WaitForSingleObject(process, grace_ms) != WAIT_OBJECT_0) {
    TerminateProcess(process, 99);
    WaitForSingleObject(process, 5000);
  }
}

[[noreturn]] inline void Fail(const char* what) {
  fprintf(stderr, "bench: %s (error %lu)\n", what, GetLastError());
  fflush(stderr);
  ExitProcess(2);
}

}  // namespace bench
