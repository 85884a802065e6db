// What the worker asks of Windows besides running scripts: where wsl.exe
// is, whether Docker Desktop is installed, and Microsoft's WSL installer.
#pragma once

#include <stddef.h>
#include <windows.h>

#include "core/outcome.h"
#include "core/worker.h"

inline constexpr size_t kSystemDirectoryMaxLength = 250;
inline constexpr size_t kProgramFilesMaxLength = 226;
inline constexpr wchar_t kWslFileName[] = L"\\wsl.exe";
inline constexpr wchar_t kDockerDesktopSuffix[] = L"\\Docker\\Docker\\Docker Desktop.exe";

// The system directory's wsl.exe, when the directory's length is 1 to 250
// units and the file exists.
bool LocateWsl(wchar_t (&path)[kWslPathCapacity]);
// The path rule by itself, for a directory of `length` units.
bool JoinWslPath(const wchar_t* system_directory, size_t length, wchar_t (&path)[kWslPathCapacity]);

// True when Docker Desktop's executable exists under ProgramFiles, or the
// distribution list names docker-desktop, or the list cannot be read: when
// unsure, no Docker engine of our own is installed.
bool DockerDesktopPresent(const wchar_t* wsl_path);

// Runs "wsl.exe --install -d Ubuntu --no-launch" elevated and waits for it;
// on success opens Ubuntu for its first-run set-up. S_WSL_INSTALLED,
// S_REBOOT_REQUIRED (1641, 3010) or E_WSL_SETUP.
Outcome InstallWslWithUbuntu(HWND owner, const wchar_t* wsl_path);
// The installer's exit code as an outcome.
Outcome InstallerOutcome(DWORD exit_code);
