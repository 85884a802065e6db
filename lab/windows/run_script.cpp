// Runs one of the product's scripts through the product's own runner
// (RunWsl) against the wsl.exe of the system directory, and prints what the
// runner captured followed by one summary line:
//
//   run_script preflight|dependency|enrollment [--distro NAME] [--extra ARGS] [--stdin]
//   run_script plain --extra ARGS
//
// --distro is the job's distribution field as typed (quotes and all);
// --extra replaces the extra arguments (the dependency script's default is
// "--user root", the others' none); --stdin feeds our standard input, read
// to its end, as the payload. The capture goes to standard output as it is;
// the summary, on standard error:
//
//   run_script: ok=1 exit_code=4294967295
#include <windows.h>

#include <stdio.h>
#include <string.h>

#include <string>

#include "wsl/host_probes.h"
#include "wsl/process_runner.h"
#include "wsl/scripts.h"

namespace {

CommandCapture capture;

void Print(const char* text, size_t size, DWORD stream = STD_OUTPUT_HANDLE) {
  HANDLE out = GetStdHandle(stream);
  while (size > 0) {
    DWORD written = 0;
    if (!WriteFile(out, text, static_cast<DWORD>(size), &written, nullptr) || written == 0) return;
    text += written;
    size -= written;
  }
}

std::string ReadStandardInput() {
  std::string data;
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  char buffer[4096];
  DWORD count = 0;
  while (ReadFile(in, buffer, sizeof buffer, &count, nullptr) && count > 0) data.append(buffer, count);
  return data;
}

int Usage() {
  const char text[] =
      "usage: run_script preflight|dependency|enrollment [--distro NAME] [--extra ARGS] [--stdin]\n"
      "       run_script plain --extra ARGS\n";
  Print(text, sizeof text - 1, STD_ERROR_HANDLE);
  return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) return Usage();
  const std::wstring which = argv[1];
  const wchar_t* script = nullptr;
  std::wstring extra = kNoExtraArguments;
  if (which == L"preflight") {
    script = kPreflightScript;
  } else if (which == L"dependency") {
    script = kDependencyScript;
    extra = kUserRootArguments;
  } else if (which == L"enrollment") {
    script = kEnrollmentScript;
  } else if (which != L"plain") {
    return Usage();
  }
  std::wstring distro;
  bool use_stdin = false;
  for (int i = 2; i < argc; ++i) {
    const std::wstring option = argv[i];
    if (option == L"--distro" && i + 1 < argc) {
      distro = argv[++i];
    } else if (option == L"--extra" && i + 1 < argc) {
      extra = argv[++i];
    } else if (option == L"--stdin") {
      use_stdin = true;
    } else {
      return Usage();
    }
  }
  if (distro.size() >= 80) return Usage();

  wchar_t wsl_path[kWslPathCapacity];
  if (!LocateWsl(wsl_path)) {
    const char text[] = "run_script: no wsl.exe in the system directory\n";
    Print(text, sizeof text - 1, STD_ERROR_HANDLE);
    return 1;
  }
  const std::string payload = use_stdin ? ReadStandardInput() : std::string();
  const bool ok = RunWsl(wsl_path, distro.c_str(), extra.c_str(), script, use_stdin ? payload.c_str() : nullptr,
                         &capture);
  Print(capture.text, strlen(capture.text));
  char summary[96];
  const int length = snprintf(summary, sizeof summary, "run_script: ok=%d exit_code=%lu\n", ok ? 1 : 0,
                              static_cast<unsigned long>(capture.exit_code));
  Print(summary, static_cast<size_t>(length), STD_ERROR_HANDLE);
  return ok ? 0 : 1;
}
