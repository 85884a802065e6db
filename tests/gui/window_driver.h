// Driving QuenvaleEnroll.exe from another process, as a user would: find
// its window, type into the fields, press buttons, read the status line,
// answer the message boxes.
#pragma once

#include <windows.h>

#include <string>

struct ProductProcess {
  HANDLE process = nullptr;
  DWORD id = 0;
  HWND window = nullptr;
  HHOOK hook = nullptr;  // see LoadIntoProduct
};

// Starts the program with extra environment variables ("NAME=value" lines
// separated by '\n', added to ours) and waits for its main window.
// `show` (an SW_ value, or -1 for none) goes in the start-up information.
bool StartProduct(const std::wstring& exe, const std::wstring& extra_environment, ProductProcess* product,
                  int show = -1);
// Closes the window if it is still there, waits for the process and returns
// its exit code (or -1 when it did not end in time and was killed).
long StopProduct(ProductProcess* product);

// The controls in creation order: 0 heading ... 8 status line.
HWND ControlAt(HWND window, int index);
enum ControlIndex { kHeading, kCodeLabel, kCodeField, kDistroLabel, kDistroField, kJoin, kWslGuide, kDockerGuide, kStatus };

std::wstring TextOf(HWND control);
void SetText(HWND control, const std::wstring& text);
// Posts a click: handled once the program gets to its queue.
void Click(HWND button);
// Posts a key press and release to the control that has the focus in the
// program's thread (else to its active window): both come out of the
// program's own message loop into IsDialogMessageW, as typed keys do, with
// no need for the window to be in the foreground.
void PressKey(const ProductProcess& product, WORD key);

// Loads the test hooks DLL `dll` (tools/product_hooks.cpp) into the started
// program, through a message hook on its window's thread that stays until
// StopProduct. True once the DLL answers from inside.
bool LoadIntoProduct(ProductProcess* product, const std::wstring& dll);
// Asks the loaded DLL one of the requests of tools/product_hooks.h; its
// answer, 0 when none came in time.
LPARAM AskProduct(const ProductProcess& product, unsigned request, DWORD timeout_ms = 10000);

// Polls until `done` returns true, at most `timeout_ms`.
template <typename Predicate>
bool WaitUntil(Predicate done, DWORD timeout_ms = 20000) {
  const ULONGLONG end = GetTickCount64() + timeout_ms;
  while (!done()) {
    if (GetTickCount64() > end) return false;
    Sleep(20);
  }
  return true;
}

bool WaitForStatus(HWND window, const wchar_t* text, DWORD timeout_ms = 20000);

// A message box (#32770) owned by the product's window, or null.
HWND FindMessageBox(const ProductProcess& product);
HWND WaitForMessageBox(const ProductProcess& product, DWORD timeout_ms = 20000);
std::wstring MessageBoxText(HWND box);
std::wstring MessageBoxCaption(HWND box);
// The button with this id (IDYES, IDNO, IDOK) in the box, or null.
HWND MessageBoxButton(HWND box, int id);
void AnswerMessageBox(HWND box, int id);

// Files shared with the stand-in programs.
std::string ReadFileBytes(const std::wstring& path);
void WriteFileBytes(const std::wstring& path, const std::string& bytes);
