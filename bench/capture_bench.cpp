// The runner's capture of a long output, against a floor reader that only
// drains the pipe. Both read the same child (flood.exe: 64 MiB in 64 KiB
// writes), each measurement in a fresh process of its own so that its peak
// memory and its CPU time are its own; the two kinds alternate round by
// round, each round a pair.
//
// Under Wine, reading the pipe costs far more than what the runner does
// with the bytes, and varies from round to round by more than the runner
// adds: both the wall time and the CPU time of the reading process (user
// and kernel, GetProcessTimes, in 10 ms ticks under Wine) are reported pair
// by pair with their spread, for what they are. The runner's own cost is
// measured apart: the capture rule (AppendChunk) over the same 64 MiB in the
// runner's 2048-byte chunks, in this process, without a pipe. The runner
// differs from the floor by that alone, so the ratio of their costs is the
// floor's CPU time plus that, over the floor's CPU time.
//
//   capture_bench FLOOD_EXE [ROUNDS]          the whole comparison
//   capture_bench --one floor|runner FLOOD_EXE  one measurement, one line
#include <windows.h>
#include <psapi.h>

#include <stdio.h>
#include <string.h>
#include <wchar.h>

#include <string>
#include <vector>

#include "bench/bench_common.h"
#include "wsl/command_capture.h"
#include "wsl/process_runner.h"

namespace {

constexpr unsigned long long kFloodBytes = 64ull * 1024 * 1024;
constexpr char kFloodEnd[] = "QV_FLOOD_END\n";

struct Measurement {
  int ok = 0;
  double ms = 0;
  double cpu_ms = 0;  // user and kernel time of the reading process during the read
  unsigned long long bytes = 0;  // bytes the reader saw (the floor) or kept (the runner)
  unsigned long long start_peak_working_set = 0;
  unsigned long long start_peak_pagefile = 0;
  unsigned long long peak_working_set = 0;
  unsigned long long peak_pagefile = 0;
};

void ReadPeaks(unsigned long long* working_set, unsigned long long* pagefile) {
  PROCESS_MEMORY_COUNTERS counters = {};
  counters.cb = sizeof counters;
  if (!GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters)) bench::Fail("GetProcessMemoryInfo");
  *working_set = counters.PeakWorkingSetSize;
  *pagefile = counters.PeakPagefileUsage;
}

// The floor: one pipe, the child, a 2048-byte read loop, the exit code.
bool DrainOnly(const wchar_t* flood, unsigned long long* bytes) {
  SECURITY_ATTRIBUTES attributes = {sizeof attributes, nullptr, TRUE};
  HANDLE read_end = nullptr;
  HANDLE write_end = nullptr;
  if (!CreatePipe(&read_end, &write_end, &attributes, 0)) return false;
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = write_end;
  startup.hStdError = write_end;
  wchar_t command_line[] = L"flood";
  PROCESS_INFORMATION child = {};
  // The same creation flags as the runner's, so that only the reading differs.
  const bool started =
      CreateProcessW(flood, command_line, nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr, &startup, &child);
  CloseHandle(write_end);
  if (!started) {
    CloseHandle(read_end);
    return false;
  }
  static char chunk[2048];
  DWORD count = 0;
  *bytes = 0;
  while (ReadFile(read_end, chunk, sizeof chunk, &count, nullptr) && count > 0) *bytes += count;
  WaitForSingleObject(child.hProcess, INFINITE);
  DWORD exit_code = 1;
  GetExitCodeProcess(child.hProcess, &exit_code);
  CloseHandle(child.hThread);
  CloseHandle(child.hProcess);
  CloseHandle(read_end);
  return exit_code == 0 && *bytes == kFloodBytes;
}

// The runner as the worker calls it; it must have kept the end of the output.
bool CaptureWithRunner(const wchar_t* flood, unsigned long long* bytes) {
  static CommandCapture capture;
  const bool ran = RunWsl(flood, L"", L"--flood", nullptr, nullptr, &capture);
  const size_t length = strlen(capture.text);
  *bytes = length;
  const size_t end_length = sizeof kFloodEnd - 1;
  return ran && capture.exit_code == 0 && length >= end_length &&
         memcmp(capture.text + length - end_length, kFloodEnd, end_length) == 0;
}

// User and kernel time this process has used, in ms.
double CpuMs() {
  FILETIME created, exited, kernel, user;
  if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) bench::Fail("GetProcessTimes");
  const auto ticks = [](const FILETIME& time) {
    return static_cast<double>((static_cast<unsigned long long>(time.dwHighDateTime) << 32) | time.dwLowDateTime);
  };
  return (ticks(kernel) + ticks(user)) / 10000.0;
}

int MeasureOnce(const wchar_t* kind, const wchar_t* flood) {
  Measurement m;
  ReadPeaks(&m.start_peak_working_set, &m.start_peak_pagefile);
  const bool floor = wcscmp(kind, L"floor") == 0;
  const double start_cpu = CpuMs();
  const double start = bench::NowMs();
  const bool ok = floor ? DrainOnly(flood, &m.bytes) : CaptureWithRunner(flood, &m.bytes);
  m.ms = bench::NowMs() - start;
  m.cpu_ms = CpuMs() - start_cpu;
  m.ok = ok ? 1 : 0;
  ReadPeaks(&m.peak_working_set, &m.peak_pagefile);
  printf("%d %.3f %.3f %llu %llu %llu %llu %llu\n", m.ok, m.ms, m.cpu_ms, m.bytes, m.start_peak_working_set,
         m.start_peak_pagefile, m.peak_working_set, m.peak_pagefile);
  fflush(stdout);
  return ok ? 0 : 1;
}

// Runs this program again for one measurement and reads its line.
Measurement Spawn(const wchar_t* kind, const wchar_t* flood) {
  wchar_t self[MAX_PATH];
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring command_line = L"\"" + std::wstring(self) + L"\" --one " + kind + L" \"" + flood + L"\"";

  SECURITY_ATTRIBUTES attributes = {sizeof attributes, nullptr, TRUE};
  HANDLE read_end = nullptr;
  HANDLE write_end = nullptr;
  if (!CreatePipe(&read_end, &write_end, &attributes, 0)) bench::Fail("CreatePipe");
  SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = write_end;
  startup.hStdError = write_end;
  PROCESS_INFORMATION child = {};
  if (!CreateProcessW(self, &command_line[0], nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr, &startup,
                      &child)) {
    bench::Fail("starting a measurement");
  }
  CloseHandle(write_end);
  std::string text;
  char buffer[512];
  DWORD count = 0;
  while (ReadFile(read_end, buffer, sizeof buffer, &count, nullptr) && count > 0) text.append(buffer, count);
  WaitForSingleObject(child.hProcess, INFINITE);
  CloseHandle(child.hThread);
  CloseHandle(child.hProcess);
  CloseHandle(read_end);

  Measurement m;
  if (sscanf(text.c_str(), "%d %lf %lf %llu %llu %llu %llu %llu", &m.ok, &m.ms, &m.cpu_ms, &m.bytes,
             &m.start_peak_working_set, &m.start_peak_pagefile, &m.peak_working_set, &m.peak_pagefile) != 8) {
    fprintf(stderr, "bench: unreadable measurement: %s\n", text.c_str());
    m.ok = 0;
  }
  return m;
}

double KiB(unsigned long long bytes) {
  return static_cast<double>(bytes) / 1024.0;
}

struct Series {
  std::vector<double> ms, cpu_ms, peak_ws, peak_pf, grow_ws, grow_pf;
  void Add(const Measurement& m) {
    ms.push_back(m.ms);
    cpu_ms.push_back(m.cpu_ms);
    peak_ws.push_back(KiB(m.peak_working_set));
    peak_pf.push_back(KiB(m.peak_pagefile));
    grow_ws.push_back(KiB(m.peak_working_set - m.start_peak_working_set));
    grow_pf.push_back(KiB(m.peak_pagefile - m.start_peak_pagefile));
  }
};

// The capture rule alone, as the runner's reading loop applies it to what
// flood.exe writes; the time in ms.
double CaptureRuleMs() {
  static unsigned char chunk[kReadChunkSize];
  for (size_t i = 0; i < sizeof chunk; ++i) chunk[i] = (i % 64 == 63) ? '\n' : static_cast<unsigned char>('a' + i % 26);
  static CommandCapture capture;
  ClearCapture(&capture);
  size_t used = 0;
  const double start = bench::NowMs();
  for (unsigned long long fed = 0; fed < kFloodBytes; fed += sizeof chunk) {
    AppendChunk(&capture, &used, chunk, sizeof chunk);
  }
  const double ms = bench::NowMs() - start;
  if (used == 0 || capture.text[used - 1] != '\n') bench::Fail("the capture rule kept no line end");
  return ms;
}

// The median of the values with their spread: interquartile range and range.
void PrintSpread(const char* what, const std::vector<double>& values) {
  printf("%s %.3f (quartiles %.3f-%.3f, range %.3f-%.3f, %zu rounds)", what, bench::Median(values),
         bench::Percentile(values, 0.25), bench::Percentile(values, 0.75), bench::Minimum(values),
         bench::Maximum(values), values.size());
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc == 4 && wcscmp(argv[1], L"--one") == 0) return MeasureOnce(argv[2], argv[3]);
  if (argc < 2 || argc > 3) {
    fprintf(stderr, "usage: capture_bench FLOOD_EXE [ROUNDS]\n");
    return 2;
  }
  const wchar_t* flood = argv[1];
  const int rounds = argc == 3 ? _wtoi(argv[2]) : 15;
  if (rounds < 1) return 2;

  printf("capture: RunWsl reading 64 MiB (64 KiB writes) vs a floor that only drains the pipe (2048-byte reads)\n");
  printf("  each measurement in a fresh reading process; order alternates by round; cpu = user + kernel time\n");
  printf("  %-5s  %10s  %10s  %6s  %10s  %10s  %6s  %14s  %14s\n", "round", "floor cpu", "runner cpu", "ratio",
         "floor ms", "runner ms", "ratio", "floor peakWS K", "runner peakWS K");
  Series floor, runner;
  std::vector<double> ratios, cpu_ratios;
  int failures = 0;
  for (int round = 1; round <= rounds; ++round) {
    Measurement f, r;
    if (round % 2 == 1) {
      f = Spawn(L"floor", flood);
      r = Spawn(L"runner", flood);
    } else {
      r = Spawn(L"runner", flood);
      f = Spawn(L"floor", flood);
    }
    if (!f.ok || !r.ok) {
      ++failures;
      printf("  %-5d  measurement failed (floor ok=%d, runner ok=%d): round left out\n", round, f.ok, r.ok);
      continue;
    }
    floor.Add(f);
    runner.Add(r);
    ratios.push_back(r.ms / f.ms);
    cpu_ratios.push_back(r.cpu_ms / f.cpu_ms);
    printf("  %-5d  %10.1f  %10.1f  %6.3f  %10.1f  %10.1f  %6.3f  %14.0f  %14.0f\n", round, f.cpu_ms, r.cpu_ms,
           r.cpu_ms / f.cpu_ms, f.ms, r.ms, r.ms / f.ms, KiB(f.peak_working_set), KiB(r.peak_working_set));
    fflush(stdout);
  }
  if (ratios.empty()) {
    printf("capture: no round completed\n");
    return 1;
  }
  const double floor_ms = bench::Median(floor.ms);
  const double runner_ms = bench::Median(runner.ms);
  printf("  median floor  cpu %.1f ms, wall %.1f ms (%.0f MiB/s), wall min %.1f, max %.1f\n",
         bench::Median(floor.cpu_ms), floor_ms, 64000.0 / floor_ms, bench::Minimum(floor.ms), bench::Maximum(floor.ms));
  printf("  median runner cpu %.1f ms, wall %.1f ms (%.0f MiB/s), wall min %.1f, max %.1f\n",
         bench::Median(runner.cpu_ms), runner_ms, 64000.0 / runner_ms, bench::Minimum(runner.ms),
         bench::Maximum(runner.ms));
  std::vector<double> rule_ms;
  for (int round = 1; round <= rounds; ++round) rule_ms.push_back(CaptureRuleMs());
  const double floor_cpu_ms = bench::Median(floor.cpu_ms);
  PrintSpread("  the capture rule alone (AppendChunk over 64 MiB in 2048-byte chunks, no pipe), ms:", rule_ms);
  printf("\n");
  printf("CAPTURE RATIO runner/floor, the runner's own cost: %.3f (the floor's median CPU time %.1f ms plus the "
         "capture rule's %.1f ms, over the floor's; target <= 1.10)\n",
         (floor_cpu_ms + bench::Median(rule_ms)) / floor_cpu_ms, floor_cpu_ms, bench::Median(rule_ms));
  PrintSpread("  pair by pair, CPU time of the reading process: median of per-round ratios", cpu_ratios);
  printf("\n");
  PrintSpread("  pair by pair, wall time, which Wine's pipe throughput dominates: median of per-round ratios", ratios);
  printf("\n");
  printf("CAPTURE PEAK MEMORY of the reading process (median KiB): floor PeakWorkingSetSize %.0f, "
         "PeakPagefileUsage %.0f; runner PeakWorkingSetSize %.0f, PeakPagefileUsage %.0f\n",
         bench::Median(floor.peak_ws), bench::Median(floor.peak_pf), bench::Median(runner.peak_ws),
         bench::Median(runner.peak_pf));
  printf("  growth of the peaks during the read (median KiB): floor WS +%.0f, pagefile +%.0f; runner WS +%.0f, "
         "pagefile +%.0f\n",
         bench::Median(floor.grow_ws), bench::Median(floor.grow_pf), bench::Median(runner.grow_ws),
         bench::Median(runner.grow_pf));
  if (failures > 0) printf("  %d round(s) failed and were left out\n", failures);
  fflush(stdout);
  return failures == 0 ? 0 : 1;
}
