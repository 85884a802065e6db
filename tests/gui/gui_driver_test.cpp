// The real QuenvaleEnroll.exe, driven from outside through its window. The
// test hooks (tools/product_hooks.cpp) are loaded into it first: the folder
// of each test stands for its system directory, so the wsl.exe it finds is
// the test's stand-in (tools/gated_wsl.cpp), never a real one; the help
// pages and the installer's start are recorded there, and nothing is opened
// in a browser or elevated; the masked code field is read from inside the
// program. The program, the stand-in and the hooks sit beside this test
// program, in the build and in the unpacked kit alike.
#include <gtest/gtest.h>

#include <string>

#include "core/config.h"
#include "core/outcome.h"
#include "tests/win32/win32_test_support.h"
#include "tools/product_hooks.h"
#include "ui/worker_messages.h"
#include "window_driver.h"

namespace {

const wchar_t kValidCode[] = L"qvw1|https://quenvale.com|qvt_abcdefghijklmnop";
const char kWslGuideLine[] = "https://learn.microsoft.com/zh-cn/windows/wsl/install\n";
const char kDockerGuideLine[] = "https://docs.docker.com/desktop/features/wsl/\n";

std::wstring FromUtf8(const std::string& bytes) {
  std::wstring text(bytes.size(), L'\0');
  const int units = MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), &text[0],
                                        static_cast<int>(text.size()));
  text.resize(units > 0 ? static_cast<size_t>(units) : 0);
  return text;
}

class WindowDriven : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(folder_.path().empty());
    Reset();
  }

  void TearDown() override {
    if (product_.process != nullptr) {
      OpenGate();
      StopProduct(&product_);
    }
  }

  // The test's folder as a new program would find it: no wsl.exe, no logs.
  void Reset() {
    for (const wchar_t* name : {L"wsl.exe", L"wsl-commands.log", L"urls.log", L"shell.log", L"open-gate",
                                L"output.bin", L"exit-code.txt", L"code-field.txt"}) {
      DeleteFileW(In(name).c_str());
    }
  }

  std::wstring In(const wchar_t* name) const { return folder_ / name; }

  // The stand-in wsl.exe: prints `output` and exits with `exit_code` once
  // the gate is opened (at once when not started with QV_TEST_GATE=1).
  void InstallStandIn(const std::string& output, long exit_code) {
    // Copied as bytes: a zone mark that a downloaded kit may carry stays
    // behind with the original. On Windows a program's file cannot be
    // replaced while it runs: the last row's stand-in may take a moment to
    // end.
    const std::string program = ReadWholeFile(ToolPath(L"gated_wsl.exe"));
    ASSERT_FALSE(program.empty());
    ASSERT_TRUE(WaitUntil([&] { return WriteWholeFile(In(L"wsl.exe"), program); }, 10000));
    ASSERT_TRUE(WriteWholeFile(In(L"output.bin"), output));
    ASSERT_TRUE(WriteWholeFile(In(L"exit-code.txt"), std::to_string(exit_code)));
  }

  void Start(const std::wstring& environment = L"") {
    ASSERT_TRUE(StartProduct(ToolPath(L"QuenvaleEnroll.exe"), L"QV_TEST_DIR=" + folder_.path() + L"\n" + environment,
                             &product_));
    ASSERT_TRUE(LoadIntoProduct(&product_, ToolPath(L"product_hooks.dll")))
        << "the test hooks did not load into the program: it would look for the system's wsl.exe";
  }

  HWND Control(int index) const { return ControlAt(product_.window, index); }
  std::wstring Status() const { return TextOf(Control(kStatus)); }

  // Read inside the program: on Windows no other process can read the text
  // of a password field.
  std::wstring CodeField() const {
    DeleteFileW(In(L"code-field.txt").c_str());
    if (AskProduct(product_, kSaveCodeField) != 1) return L"(unreadable)";
    return FromUtf8(ReadWholeFile(In(L"code-field.txt")));
  }

  HWND Focus() const {
    GUITHREADINFO thread = {};
    thread.cbSize = sizeof thread;
    if (!GetGUIThreadInfo(GetWindowThreadProcessId(product_.window, nullptr), &thread)) return nullptr;
    return thread.hwndFocus;
  }

  void Join(const std::wstring& code, const std::wstring& distro) {
    SetText(Control(kCodeField), code);
    SetText(Control(kDistroField), distro);
    Click(Control(kJoin));
  }

  std::string Urls() const { return ReadWholeFile(In(L"urls.log")); }

  // A command line that opens Ubuntu in a window of its own: no script.
  bool UbuntuWasOpened() const {
    return ReadWholeFile(In(L"wsl-commands.log")).find("wsl.exe\" --distribution Ubuntu\n") != std::string::npos;
  }

  void OpenGate() { WriteWholeFile(In(L"open-gate"), ""); }

  size_t CommandLinesReceived() const {
    const std::string log = ReadWholeFile(In(L"wsl-commands.log"));
    size_t lines = 0;
    for (char c : log) lines += c == '\n';
    return lines;
  }

  ScratchFolder folder_{L"gui"};
  ProductProcess product_;
};

struct Rejection {
  const wchar_t* code;
  const wchar_t* distro;
  const wchar_t* status;
};

TEST_F(WindowDriven, RejectedFormsShowTheirTextAndKeepTheFormAsItWas) {
  const Rejection cases[] = {
      {L"", L"", kStatusInvalidCode},
      {L"qvw1|https://quenvale.com/|qvt_abcdefghijklmnop", L"", kStatusInvalidCode},
      // A bad code wins over a bad distribution name.
      {L"QVW1|https://quenvale.com|qvt_abcdefghijklmnop", L"bad/name", kStatusInvalidCode},
      {kValidCode, L"My Distro_1", kStatusInvalidDistro},
      {kValidCode, L"Ubuntu\\x", kStatusInvalidDistro},
  };
  Start();
  for (const Rejection& c : cases) {
    SCOPED_TRACE(testing::Message() << "code #" << (&c - cases));
    SetText(Control(kStatus), L"");
    Join(c.code, c.distro);
    ASSERT_TRUE(WaitForStatus(product_.window, c.status)) << "status stayed at another text";
    EXPECT_EQ(c.code, CodeField());
    EXPECT_EQ(c.distro, TextOf(Control(kDistroField)));
    EXPECT_TRUE(IsWindowEnabled(Control(kJoin)));
    EXPECT_TRUE(IsWindowEnabled(Control(kCodeField)));
    EXPECT_TRUE(IsWindowEnabled(Control(kDistroField)));
  }
  EXPECT_EQ(0, StopProduct(&product_));
}

TEST_F(WindowDriven, AValidCodeWithoutWslExeEndsInWslMissingAndKeepsTheCode) {
  Start();
  Join(kValidCode, L"");
  ASSERT_TRUE(WaitForStatus(product_.window, OutcomeMessage(E_WSL_MISSING)));
  EXPECT_EQ(kValidCode, CodeField());
  EXPECT_TRUE(IsWindowEnabled(Control(kJoin)));
  EXPECT_EQ(0, StopProduct(&product_));
}

// The program's loads of crypt32 fail, as where it is missing: a code whose
// node name cannot be decoded is refused as invalid, and the program lives
// on.
TEST_F(WindowDriven, WithoutCrypt32ANamedCodeIsRefusedAndAnUnnamedOneGoesOn) {
  Start(L"QV_TEST_HIDE_CRYPT32=1");
  Join(std::wstring(kValidCode) + L"|bm9kZS0x", L"");
  ASSERT_TRUE(WaitForStatus(product_.window, kStatusInvalidCode));
  Join(kValidCode, L"");
  ASSERT_TRUE(WaitForStatus(product_.window, OutcomeMessage(E_WSL_MISSING)));
  EXPECT_EQ(0, StopProduct(&product_));
}

TEST_F(WindowDriven, WhileBusyTheFormIsLockedCloseIsRefusedAndTheHelpPagesStillOpen) {
  InstallStandIn("", -1);  // no distribution: the preflight prints nothing
  Start(L"QV_TEST_GATE=1");
  // Pasted, then Enter in the code field.
  SetText(Control(kCodeField), kValidCode);
  ASSERT_TRUE(WaitUntil([&] { return Focus() == Control(kCodeField); }));
  PressKey(product_, VK_RETURN);
  ASSERT_TRUE(WaitForStatus(product_.window, kStatusStarted));
  ASSERT_TRUE(WaitUntil([&] { return CommandLinesReceived() == 1; }));

  EXPECT_FALSE(IsWindowEnabled(Control(kJoin)));
  EXPECT_FALSE(IsWindowEnabled(Control(kCodeField)));
  EXPECT_FALSE(IsWindowEnabled(Control(kDistroField)));
  EXPECT_TRUE(IsWindowEnabled(Control(kWslGuide)));
  EXPECT_TRUE(IsWindowEnabled(Control(kDockerGuide)));

  // Neither Enter nor a join that reaches the window while busy starts
  // anything. The click after them is handled after them: once its page is
  // recorded, they have been too.
  SetText(Control(kStatus), L"-");
  PressKey(product_, VK_RETURN);
  SendMessageW(product_.window, WM_COMMAND, MAKEWPARAM(101, BN_CLICKED), reinterpret_cast<LPARAM>(Control(kJoin)));
  Click(Control(kWslGuide));
  ASSERT_TRUE(WaitUntil([&] { return !Urls().empty(); }));
  EXPECT_EQ(kWslGuideLine, Urls());
  EXPECT_EQ(L"-", Status());
  Click(Control(kDockerGuide));
  ASSERT_TRUE(WaitUntil([&] { return Urls().find("docs.docker.com") != std::string::npos; }));
  EXPECT_EQ(std::string(kWslGuideLine) + kDockerGuideLine, Urls());

  PostMessageW(product_.window, WM_CLOSE, 0, 0);
  HWND box = WaitForMessageBox(product_);
  ASSERT_NE(nullptr, box);
  EXPECT_EQ(kBusyCloseText, MessageBoxText(box));
  EXPECT_EQ(kBusyCloseCaption, MessageBoxCaption(box));
  EXPECT_NE(nullptr, MessageBoxButton(box, IDOK));
  AnswerMessageBox(box, IDOK);
  ASSERT_TRUE(WaitUntil([&] { return FindMessageBox(product_) == nullptr; }));
  EXPECT_TRUE(IsWindow(product_.window));
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(product_.process, 0));
  EXPECT_EQ(1u, CommandLinesReceived());

  // No shell ran: the worker offers the WSL installer; No ends the attempt.
  OpenGate();
  box = WaitForMessageBox(product_);
  ASSERT_NE(nullptr, box);
  EXPECT_EQ(PromptQuestion(PROMPT_INSTALL_WSL), MessageBoxText(box));
  EXPECT_EQ(kPromptCaption, MessageBoxCaption(box));
  ASSERT_NE(nullptr, MessageBoxButton(box, IDYES));
  ASSERT_NE(nullptr, MessageBoxButton(box, IDNO));
  EXPECT_TRUE(GetWindowLongW(MessageBoxButton(box, IDNO), GWL_STYLE) & BS_DEFPUSHBUTTON) << "No is the default";
  EXPECT_FALSE(GetWindowLongW(MessageBoxButton(box, IDYES), GWL_STYLE) & BS_DEFPUSHBUTTON);
  AnswerMessageBox(box, IDNO);
  ASSERT_TRUE(WaitForStatus(product_.window, OutcomeMessage(S_DEPS_DECLINED)));
  EXPECT_TRUE(IsWindowEnabled(Control(kJoin)));
  EXPECT_EQ(kValidCode, CodeField());
  EXPECT_EQ("", ReadWholeFile(In(L"shell.log"))) << "no installer was started";

  // Idle again: closing works and the process ends with 0.
  EXPECT_EQ(0, StopProduct(&product_));
}

struct InstallerCase {
  long exit_code;
  const wchar_t* distro_before;
  Outcome outcome;
  const wchar_t* distro_after;
  bool opens_ubuntu;
};

TEST_F(WindowDriven, TheWslInstallerExitCodeDecidesTheOutcomeAndTheDistributionField) {
  const InstallerCase cases[] = {
      {0, L"", S_WSL_INSTALLED, L"Ubuntu", true},
      {3010, L"UBUNTU", S_REBOOT_REQUIRED, L"Ubuntu", false},
      {1641, L"ubuntu", S_REBOOT_REQUIRED, L"Ubuntu", false},
      {1, L"Ubuntu", E_WSL_SETUP, L"Ubuntu", false},
      {-1, L"", E_WSL_SETUP, L"", false},
  };
  for (const InstallerCase& c : cases) {
    SCOPED_TRACE(testing::Message() << "installer exit code " << c.exit_code);
    Reset();
    InstallStandIn("", -1);
    Start(L"QV_TEST_INSTALL_EXIT=" + std::to_wstring(c.exit_code));
    Join(kValidCode, c.distro_before);
    HWND box = WaitForMessageBox(product_);
    ASSERT_NE(nullptr, box);
    AnswerMessageBox(box, IDYES);
    ASSERT_TRUE(WaitForStatus(product_.window, OutcomeMessage(c.outcome)));
    EXPECT_EQ(c.distro_after, TextOf(Control(kDistroField)));
    EXPECT_EQ(kValidCode, CodeField());
    // Ubuntu's first-run window is opened, not waited for.
    if (c.opens_ubuntu) {
      EXPECT_TRUE(WaitUntil([&] { return UbuntuWasOpened(); }));
    }
    const std::string log = ReadWholeFile(In(L"wsl-commands.log"));
    EXPECT_NE(std::string::npos, log.find("wsl.exe\" --install -d Ubuntu --no-launch\n")) << log;
    EXPECT_EQ(c.opens_ubuntu, UbuntuWasOpened()) << log;
    // The installer is asked for with elevation (the hooks start it
    // without).
    EXPECT_EQ("runas|" + Utf8(In(L"wsl.exe")) + "|--install -d Ubuntu --no-launch\n",
              ReadWholeFile(In(L"shell.log")));
    EXPECT_EQ(0, StopProduct(&product_));
  }
}

struct PrivateMessage {
  UINT message;
  WPARAM parameter;
  LRESULT answer;
  const wchar_t* status;  // null: unchanged
  bool code_cleared;
  bool distro_ubuntu;
};

TEST_F(WindowDriven, PrivateMessagesWithAnyValueAreAnsweredWithoutABox) {
  const PrivateMessage cases[] = {
      {WM_ENROLL_CONFIRM, 0, 0, nullptr, false, false},
      {WM_ENROLL_CONFIRM, 5, 0, nullptr, false, false},
      {WM_ENROLL_CONFIRM, 0x100000001ull, 0, nullptr, false, false},
      {WM_ENROLL_PROGRESS, 1, 0, kProgressWslInstaller, false, false},
      {WM_ENROLL_PROGRESS, 0x100000001ull, 0, kProgressDependencies, false, false},
      {WM_ENROLL_PROGRESS, 99, 0, kProgressDependencies, false, false},
      {WM_ENROLL_DONE, 99, 0, OutcomeMessage(E_START), false, false},
      {WM_ENROLL_DONE, 15, 0, OutcomeMessage(E_START), false, false},
      {WM_ENROLL_DONE, 0x100000000ull, 0, OutcomeMessage(E_START), false, false},
      {WM_ENROLL_DONE, E_INSTALL, 0, OutcomeMessage(E_INSTALL), false, false},
      {WM_ENROLL_DONE, E_TOKEN, 0, OutcomeMessage(E_TOKEN), true, false},
      {WM_ENROLL_DONE, S_CONNECTED, 0, OutcomeMessage(S_CONNECTED), true, false},
      {WM_ENROLL_DONE, S_REBOOT_REQUIRED, 0, OutcomeMessage(S_REBOOT_REQUIRED), false, true},
      {WM_ENROLL_DONE, S_WSL_INSTALLED, 0, OutcomeMessage(S_WSL_INSTALLED), false, true},
  };
  Start();
  for (const PrivateMessage& c : cases) {
    SCOPED_TRACE(testing::Message() << "message 0x" << std::hex << c.message << " value " << c.parameter);
    SetText(Control(kCodeField), kValidCode);
    SetText(Control(kDistroField), L"Debian");
    SetText(Control(kStatus), L"-");
    DWORD_PTR answer = 12345;
    ASSERT_TRUE(SendMessageTimeoutW(product_.window, c.message, c.parameter, 0, SMTO_ABORTIFHUNG, 5000, &answer))
        << "the window did not answer: a message box is probably open";
    EXPECT_EQ(static_cast<DWORD_PTR>(c.answer), answer);
    EXPECT_EQ(nullptr, FindMessageBox(product_));
    EXPECT_EQ(c.status != nullptr ? std::wstring(c.status) : L"-", Status());
    EXPECT_EQ(c.code_cleared ? L"" : kValidCode, CodeField());
    EXPECT_EQ(c.distro_ubuntu ? L"Ubuntu" : L"Debian", TextOf(Control(kDistroField)));
  }
  EXPECT_EQ(0, StopProduct(&product_));
}

struct EnterCase {
  const char* name;
  const wchar_t* distro;
  int tabs;            // Tab presses from the code field before Enter
  int clicked;         // a control clicked before Enter, -1 for none
  const wchar_t* status;  // after Enter; null: as it was
  const char* urls;       // recorded by then
};

// Enter does what a click on the focused push button would, and anywhere
// else what a click on join would; the keys go through the program's own
// message loop. A help button focused by a click is not flagged as the
// default push button, so the window's answer to DM_GETDEFID decides.
TEST_F(WindowDriven, EnterPressesJoinOrTheFocusedHelpButton) {
  const EnterCase cases[] = {
      // Without a wsl.exe the attempt ends at once.
      {"in the code field", L"", 0, -1, OutcomeMessage(E_WSL_MISSING), ""},
      {"in the distribution field", L"bad/name", 1, -1, kStatusInvalidDistro, ""},
      {"on the WSL guide, reached by Tab", L"", 3, -1, nullptr, kWslGuideLine},
      {"on the Docker guide, after a click on it", L"", 0, kDockerGuide, nullptr,
       "https://docs.docker.com/desktop/features/wsl/\nhttps://docs.docker.com/desktop/features/wsl/\n"},
  };
  const int tab_order[] = {kCodeField, kDistroField, kJoin, kWslGuide, kDockerGuide};
  for (const EnterCase& c : cases) {
    SCOPED_TRACE(c.name);
    Reset();
    Start();
    SetText(Control(kCodeField), kValidCode);
    SetText(Control(kDistroField), c.distro);
    SetText(Control(kStatus), L"-");
    ASSERT_TRUE(WaitUntil([&] { return Focus() == Control(kCodeField); }));
    for (int i = 1; i <= c.tabs; ++i) {
      PressKey(product_, VK_TAB);
      ASSERT_TRUE(WaitUntil([&] { return Focus() == Control(tab_order[i]); })) << "Tab " << i;
    }
    if (c.clicked >= 0) {
      Click(Control(c.clicked));
      ASSERT_TRUE(WaitUntil([&] { return !Urls().empty() && Focus() == Control(c.clicked); }));
    }
    PressKey(product_, VK_RETURN);
    if (c.status != nullptr) {
      ASSERT_TRUE(WaitForStatus(product_.window, c.status)) << "status " << testing::PrintToString(Status());
    } else {
      ASSERT_TRUE(WaitUntil([&] { return Urls() == c.urls; }))
          << "pages " << testing::PrintToString(Urls()) << ", status " << testing::PrintToString(Status());
      EXPECT_EQ(L"-", Status()) << "Enter also joined";
    }
    EXPECT_EQ(c.urls, Urls());
    EXPECT_EQ(0, StopProduct(&product_));
  }
}

// The window takes the show state its starter asked for, and the focus
// goes to the code field.
TEST_F(WindowDriven, OpensInTheShowStateItWasStartedWith) {
  const struct {
    int show;
    bool maximized;
  } cases[] = {{-1, false}, {SW_SHOWNORMAL, false}, {SW_SHOWMAXIMIZED, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "show state " << c.show);
    ASSERT_TRUE(StartProduct(ToolPath(L"QuenvaleEnroll.exe"), L"", &product_, c.show));
    EXPECT_TRUE(WaitUntil([&] { return IsZoomed(product_.window) == (c.maximized ? TRUE : FALSE); }, 5000));
    EXPECT_EQ(kStatusOpening, Status());
    GUITHREADINFO thread = {};
    thread.cbSize = sizeof thread;
    EXPECT_TRUE(WaitUntil(
        [&] {
          return GetGUIThreadInfo(GetWindowThreadProcessId(product_.window, nullptr), &thread) &&
                 thread.hwndFocus == Control(kCodeField);
        },
        5000))
        << "focus on " << thread.hwndFocus;
    EXPECT_EQ(0, StopProduct(&product_));
  }
}

}  // namespace
