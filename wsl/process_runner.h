// Running wsl.exe with one command line, feeding its standard input and
// capturing its output and exit code (Windows only).
#pragma once

#include "wsl/command_capture.h"

// Builds the command line (script null: the plain form), starts the program
// at `wsl_path` without a console window, writes the payload (or nothing)
// and closes its input, reads stdout and stderr (one pipe) to the end into
// the capture, then waits without a time limit. True when the command line
// fitted, the process ran, the whole payload was written and the exit code
// was read; the exit code itself is not judged. Blocks the calling thread.
bool RunWsl(const wchar_t* wsl_path, const wchar_t* distro, const wchar_t* extra, const wchar_t* script,
            const char* payload, CommandCapture* capture);
