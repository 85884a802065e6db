// The program's one window: the form, its message loop and its side of the
// conversation with the worker.
#pragma once

#include <windows.h>

inline constexpr wchar_t kMainWindowClass[] = L"QuenvaleEnrollment";
inline constexpr int kMainWindowWidth = 495;  // outer size
inline constexpr int kMainWindowHeight = 320;

inline constexpr int IDC_JOIN = 101;
inline constexpr int IDC_WSL_GUIDE = 102;
inline constexpr int IDC_DOCKER_GUIDE = 103;

bool RegisterMainWindowClass(HINSTANCE instance);
// Creates the window and its controls; null on failure.
HWND CreateMainWindow(HINSTANCE instance);
// Shows the window, puts the focus into the code field and runs the message
// loop until the window is gone.
void RunMainWindow(HWND window, int show);

// Registers, creates and runs the window: the process exit code (0 after
// the window closed, 1 when it could not be made).
int RunEnrollmentProgram(HINSTANCE instance, int show);
