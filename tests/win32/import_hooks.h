// Stand-ins reached through a module's import address table: the code under
// test calls the system as it always does, and these answer instead. The
// same stand-ins serve the test programs themselves and, through a DLL
// loaded into it, the real QuenvaleEnroll.exe, on Wine and on Windows alike,
// so that a Wine run proves what a Windows run relies on.
//
// Each folder given must be a full path of at most MAX_PATH - 16 units.
#pragma once

#include <windows.h>

// Points every import of dll!function in `module` at `replacement`. Returns
// the previous target, or null when the module does not import it.
void* ReplaceImport(HMODULE module, const char* dll, const char* function, void* replacement);

// GetSystemDirectoryW answers `folder`: wsl.exe is looked for there, never
// in the real System32 (on Windows it holds the real wsl.exe, which no test
// may ever start).
bool RedirectSystemDirectory(HMODULE module, const wchar_t* folder);

// ShellExecuteW of an http or https address opens no browser: it appends the
// address as a line to folder\urls.log. ShellExecuteExW appends
// "verb|file|parameters" to folder\shell.log and starts the file with the
// default verb, so that "runas" shows no elevation prompt and needs no
// administrator. Every other ShellExecuteW goes through unchanged.
bool RecordShellCalls(HMODULE module, const wchar_t* folder);

// LoadLibraryExW of crypt32.dll fails with ERROR_MOD_NOT_FOUND, as on a
// system without it; every other load goes through.
bool HideCrypt32(HMODULE module);

// Puts back what the three calls above replaced in `module`.
void RestoreImports(HMODULE module);
