// The conversation between a window test and the test hooks DLL it loads
// into QuenvaleEnroll.exe (product_hooks.cpp): the test posts the message
// registered under kProductHooksMessage to the program's window, with a
// request in wParam and its own thread id in lParam; the DLL's message hook
// takes it out of the program's queue before the window sees it, does the
// request on the program's own thread, and posts the same message back to
// that thread, with the request in wParam and the answer in lParam.
#pragma once

inline constexpr wchar_t kProductHooksMessage[] = L"QuenvaleEnrollTestHooks";
// Answers 1: the DLL is loaded and the program's imports point at the
// stand-ins.
inline constexpr unsigned kHooksReady = 1;
// Writes the code field's text, UTF-8, to QV_TEST_DIR\code-field.txt;
// answers 1 when written.
inline constexpr unsigned kSaveCodeField = 2;
