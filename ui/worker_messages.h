// The only channel between the worker thread and the window: three private
// messages of the main window.
#pragma once

#include <windows.h>

// wParam: Outcome. Posted, as the worker's last act. Answer 0.
inline constexpr UINT WM_ENROLL_DONE = WM_APP + 1;
// wParam: PromptKind. Sent; the worker waits. Answer 1 for Yes, else 0.
inline constexpr UINT WM_ENROLL_CONFIRM = WM_APP + 2;
// wParam: PromptKind. Sent; the worker waits. Answer 0.
inline constexpr UINT WM_ENROLL_PROGRESS = WM_APP + 3;
