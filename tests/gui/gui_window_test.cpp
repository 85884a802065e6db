// What only the window's own process can read: the class, the fonts, and
// the layout of the form.
#include <gtest/gtest.h>

#include <string>

#include "core/outcome.h"
#include "ui/main_window.h"

namespace {

struct ControlRow {
  const wchar_t* control_class;
  const wchar_t* text;
  DWORD styles;  // beyond WS_CHILD | WS_VISIBLE
  int x, y, width, height;
  int id;
  int text_limit;  // edits only
};

const ControlRow kForm[] = {
    {L"Static", kHeadingText, 0, 20, 16, 440, 24, 0, 0},
    {L"Static", kCodeLabelText, 0, 20, 49, 440, 22, 0, 0},
    {L"Edit", L"", WS_TABSTOP | ES_AUTOHSCROLL | ES_PASSWORD, 20, 72, 438, 26, 0, 383},
    {L"Static", kDistroLabelText, 0, 20, 111, 440, 22, 0, 0},
    {L"Edit", L"", WS_TABSTOP | ES_AUTOHSCROLL, 20, 134, 438, 26, 0, 79},
    {L"Button", kJoinButtonText, WS_TABSTOP | BS_DEFPUSHBUTTON, 20, 174, 111, 34, IDC_JOIN, 0},
    {L"Button", kWslGuideButtonText, WS_TABSTOP, 145, 174, 143, 34, IDC_WSL_GUIDE, 0},
    {L"Button", kDockerGuideButtonText, WS_TABSTOP, 301, 174, 157, 34, IDC_DOCKER_GUIDE, 0},
    {L"Static", kStatusOpening, 0, 20, 221, 438, 53, 0, 0},
};

std::wstring TextOf(HWND window) {
  wchar_t text[512] = {};
  GetWindowTextW(window, text, 512);
  return text;
}

class MainWindow : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_TRUE(RegisterMainWindowClass(GetModuleHandleW(nullptr))); }
  void SetUp() override {
    window_ = CreateMainWindow(GetModuleHandleW(nullptr));
    ASSERT_NE(nullptr, window_);
  }
  void TearDown() override { DestroyWindow(window_); }
  HWND window_ = nullptr;
};

TEST_F(MainWindow, ClassHasNoStylesIconOrMenuAndTheWindowBackground) {
  WNDCLASSEXW info = {};
  info.cbSize = sizeof info;
  ASSERT_TRUE(GetClassInfoExW(GetModuleHandleW(nullptr), L"QuenvaleEnrollment", &info));
  EXPECT_EQ(0u, info.style);
  EXPECT_EQ(0, info.cbClsExtra);
  EXPECT_EQ(0, info.cbWndExtra);
  EXPECT_EQ(nullptr, info.hIcon);
  EXPECT_EQ(nullptr, info.lpszMenuName);
  EXPECT_EQ(LoadCursorW(nullptr, IDC_ARROW), info.hCursor);
  EXPECT_EQ(reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_WINDOW + 1)), info.hbrBackground);
}

TEST_F(MainWindow, IsAFixedSizeCaptionedWindowOf495By320) {
  const LONG style = GetWindowLongW(window_, GWL_STYLE);
  EXPECT_EQ(WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX,
            style & (WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_THICKFRAME | WS_MAXIMIZEBOX));
  EXPECT_TRUE(GetWindowLongW(window_, GWL_EXSTYLE) & WS_EX_CONTROLPARENT);
  RECT outer;
  GetWindowRect(window_, &outer);
  EXPECT_EQ(495, outer.right - outer.left);
  EXPECT_EQ(320, outer.bottom - outer.top);
  EXPECT_EQ(kWindowTitle, TextOf(window_));
  EXPECT_EQ(nullptr, GetMenu(window_));
}

TEST_F(MainWindow, FormHasItsNineControlsInTabOrderWithTheGuiFont) {
  HGDIOBJ gui_font = GetStockObject(DEFAULT_GUI_FONT);
  HWND control = GetWindow(window_, GW_CHILD);
  for (const ControlRow& row : kForm) {
    const int index = static_cast<int>(&row - kForm);
    SCOPED_TRACE(testing::Message() << "control " << index);
    ASSERT_NE(nullptr, control);
    wchar_t control_class[32] = {};
    GetClassNameW(control, control_class, 32);
    EXPECT_EQ(0, lstrcmpiW(row.control_class, control_class)) << "class";
    EXPECT_EQ(row.text, TextOf(control));
    const DWORD style = static_cast<DWORD>(GetWindowLongW(control, GWL_STYLE));
    EXPECT_EQ(static_cast<DWORD>(WS_CHILD | WS_VISIBLE), style & (WS_CHILD | WS_VISIBLE | WS_POPUP));
    EXPECT_EQ(row.styles, style & row.styles) << "styles";
    EXPECT_EQ((row.styles & WS_TABSTOP) != 0, (style & WS_TABSTOP) != 0);
    const bool edit = row.text_limit != 0;
    EXPECT_EQ(edit, (GetWindowLongW(control, GWL_EXSTYLE) & WS_EX_CLIENTEDGE) != 0) << "client edge";
    EXPECT_EQ(row.id, GetDlgCtrlID(control));
    RECT rect;
    GetWindowRect(control, &rect);
    MapWindowPoints(nullptr, window_, reinterpret_cast<POINT*>(&rect), 2);
    EXPECT_EQ(row.x, rect.left);
    EXPECT_EQ(row.y, rect.top);
    EXPECT_EQ(row.width, rect.right - rect.left);
    EXPECT_EQ(row.height, rect.bottom - rect.top);
    EXPECT_EQ(reinterpret_cast<LRESULT>(gui_font), SendMessageW(control, WM_GETFONT, 0, 0)) << "font";
    if (edit) {
      EXPECT_EQ(row.text_limit, SendMessageW(control, EM_GETLIMITTEXT, 0, 0));
    }
    control = GetWindow(control, GW_HWNDNEXT);
  }
  EXPECT_EQ(nullptr, control) << "no tenth control";
}

TEST_F(MainWindow, CodeFieldMasksWhatIsTyped) {
  HWND code_field = GetWindow(GetWindow(GetWindow(window_, GW_CHILD), GW_HWNDNEXT), GW_HWNDNEXT);
  EXPECT_NE(0, SendMessageW(code_field, EM_GETPASSWORDCHAR, 0, 0));
}

}  // namespace
