#include "wsl/host_probes.h"

#include <shellapi.h>

#include "core/probe_report.h"
#include "core/text_buffer.h"
#include "wsl/process_runner.h"
#include "wsl/scripts.h"

namespace {

inline constexpr size_t kProgramFilesCapacity = 260;  // units, the Docker Desktop path included

// Both suffixes fit behind the longest prefix accepted, terminator included.
static_assert(kSystemDirectoryMaxLength + dimof(kWslFileName) <= kWslPathCapacity, "wsl.exe path");
static_assert(kProgramFilesMaxLength + dimof(kDockerDesktopSuffix) <= kProgramFilesCapacity,
              "Docker Desktop path");

// The first `length` units of `prefix`, then `suffix`, into `path`, which
// may be `prefix` itself; the callers have bounded `length` so that the
// whole fits.
void JoinPath(const wchar_t* prefix, size_t length, const wchar_t* suffix, wchar_t* path) {
  size_t used = 0;
  for (size_t i = 0; i < length; ++i) path[used++] = prefix[i];
  for (size_t i = 0; suffix[i] != 0; ++i) path[used++] = suffix[i];
  path[used] = 0;
}

bool FileExists(const wchar_t* path) {
  return GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES;
}

}  // namespace

bool JoinWslPath(const wchar_t* system_directory, size_t length, wchar_t (&path)[kWslPathCapacity]) {
  if (length < 1 || length > kSystemDirectoryMaxLength) return false;
  JoinPath(system_directory, length, kWslFileName, path);
  return true;
}

bool LocateWsl(wchar_t (&path)[kWslPathCapacity]) {
  wchar_t system_directory[kWslPathCapacity];
  // N.B. The length returned counts no terminator when the directory fits,
  // and the size needed, terminator included, when it does not: either way
  // anything above 250 is refused.
  const UINT length = GetSystemDirectoryW(system_directory, static_cast<UINT>(dimof(system_directory)));
  return JoinWslPath(system_directory, length, path) && FileExists(path);
}

bool DockerDesktopPresent(const wchar_t* wsl_path) {
  wchar_t path[kProgramFilesCapacity];
  // Like the system directory: 0 when unset, the size needed when too long.
  const DWORD length = GetEnvironmentVariableW(L"ProgramFiles", path, static_cast<DWORD>(dimof(path)));
  if (length >= 1 && length <= kProgramFilesMaxLength) {
    JoinPath(path, length, kDockerDesktopSuffix, path);
    if (FileExists(path)) return true;
  }

  // A capture of the probe's own: the caller's still holds the preflight.
  CommandCapture list;
  if (!RunWsl(wsl_path, L"", kListQuietArguments, nullptr, nullptr, &list) || list.exit_code != 0) {
    return true;
  }
  // wsl.exe lists the names in UTF-16LE; the capture has dropped the NULs.
  return HasMarker(&list, "docker-desktop");
}

Outcome InstallerOutcome(DWORD exit_code) {
  if (exit_code == 0) return S_WSL_INSTALLED;
  if (exit_code == ERROR_SUCCESS_REBOOT_INITIATED || exit_code == ERROR_SUCCESS_REBOOT_REQUIRED) {
    return S_REBOOT_REQUIRED;
  }
  return E_WSL_SETUP;
}

Outcome InstallWslWithUbuntu(HWND owner, const wchar_t* wsl_path) {
  SHELLEXECUTEINFOW installer = {};
  installer.cbSize = sizeof installer;
  // No error box of the shell's own: a failure is reported by the outcome
  // alone, and the worker thread must not sit behind a box nobody expects.
  installer.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
  installer.hwnd = owner;
  installer.lpVerb = L"runas";
  installer.lpFile = wsl_path;
  installer.lpParameters = kInstallUbuntuParameters;
  installer.nShow = SW_SHOWNORMAL;
  // A refused elevation fails the call; a start through DDE or an already
  // running instance gives no process to wait for.
  if (!ShellExecuteExW(&installer) || installer.hProcess == nullptr) return E_WSL_SETUP;

  WaitForSingleObject(installer.hProcess, INFINITE);
  // An exit code that cannot be read counts as a failed installation.
  DWORD exit_code = 1;
  if (!GetExitCodeProcess(installer.hProcess, &exit_code)) exit_code = 1;
  CloseHandle(installer.hProcess);

  const Outcome outcome = InstallerOutcome(exit_code);
  if (outcome == S_WSL_INSTALLED) {
    // Ubuntu's first-run set-up creates the normal user in a window of its
    // own; nothing here waits for it or depends on it.
    ShellExecuteW(owner, L"open", wsl_path, kOpenUbuntuParameters, nullptr, SW_SHOWNORMAL);
  }
  return outcome;
}
