// The three shell scripts run inside the distribution, the options that go
// with them, and how their command lines are built.
#pragma once

#include <stddef.h>

inline constexpr size_t kCommandLineCapacity = 4000;  // units, terminator included

// Read-only probe: prints marker words and the QV_USER= / QV_DISTRO= lines.
extern const wchar_t kPreflightScript[];
// Run as root with three input lines (user, 1 or 0 for tools, docker mode):
// installs packages, starts Docker, adds the user to the docker group.
extern const wchar_t kDependencyScript[];
// Reads the payload (base, token, name), downloads install.sh and runs it.
extern const wchar_t kEnrollmentScript[];

inline constexpr wchar_t kNoExtraArguments[] = L"";
inline constexpr wchar_t kUserRootArguments[] = L"--user root";
inline constexpr wchar_t kListQuietArguments[] = L"--list --quiet";
inline constexpr wchar_t kInstallUbuntuParameters[] = L"--install -d Ubuntu --no-launch";
inline constexpr wchar_t kOpenUbuntuParameters[] = L"--distribution Ubuntu";

// With a script: "wsl.exe" [--distribution NAME] EXTRA --exec sh -c "SCRIPT".
// Without: "wsl.exe" EXTRA. The distribution option is left out when the
// distro is empty. False when the result would exceed 3999 units.
bool BuildCommandLine(const wchar_t* distro, const wchar_t* extra, const wchar_t* script,
                      wchar_t (&command_line)[kCommandLineCapacity]);
