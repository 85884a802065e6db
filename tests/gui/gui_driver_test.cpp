// The real QuenvaleEnroll.exe, driven from outside through its window.
#include <gtest/gtest.h>

#include <string>

#include "core/config.h"
#include "core/outcome.h"
#include "ui/worker_messages.h"
#include "window_driver.h"

namespace {

const wchar_t kTestDir[] = L"C:\\qvtest-gui";
const wchar_t kSystemWsl[] = L"C:\\windows\\system32\\wsl.exe";
const wchar_t kValidCode[] = L"qvw1|https://quenvale.com|qvt_abcdefghijklmnop";

std::wstring InTestDir(const wchar_t* name) {
  return std::wstring(kTestDir) + L"\\" + name;
}

// Every http and https address goes to our logger instead of a browser.
void RegisterUrlLogger() {
  const std::wstring command =
      L"\"" + WindowsPathOf(QV_URL_LOGGER_EXE) + L"\" \"" + InTestDir(L"urls.log") + L"\" \"%1\"";
  for (const wchar_t* scheme : {L"https\\shell\\open\\command", L"http\\shell\\open\\command"}) {
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CLASSES_ROOT, scheme, 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                                             &key, nullptr));
    RegSetValueExW(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(command.c_str()),
                   static_cast<DWORD>((command.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
  }
}

class WindowDriven : public ::testing::Test {
 protected:
  void SetUp() override {
    CreateDirectoryW(kTestDir, nullptr);
    for (const wchar_t* name : {L"wsl-commands.log", L"urls.log", L"open-gate", L"output.bin", L"exit-code.txt"}) {
      DeleteFileW(InTestDir(name).c_str());
    }
    DeleteFileW(kSystemWsl);
    RegisterUrlLogger();
  }

  void TearDown() override {
    if (product_.process != nullptr) {
      OpenGate();
      StopProduct(&product_);
    }
    DeleteFileW(kSystemWsl);
  }

  // The stand-in wsl.exe: prints `output` and exits with `exit_code` once
  // the gate is opened (at once when `gated` is false).
  void InstallStandIn(const std::string& output, long exit_code) {
    ASSERT_TRUE(CopyFileW(WindowsPathOf(QV_GATED_WSL_EXE).c_str(), kSystemWsl, FALSE));
    WriteFileBytes(InTestDir(L"output.bin"), output);
    WriteFileBytes(InTestDir(L"exit-code.txt"), std::to_string(exit_code));
  }

  void Start(const std::wstring& environment = L"") {
    ASSERT_TRUE(StartProduct(WindowsPathOf(QV_PRODUCT_EXE),
                             std::wstring(L"QV_TEST_DIR=") + kTestDir + L"\n" + environment, &product_));
  }

  HWND Control(int index) const { return ControlAt(product_.window, index); }
  std::wstring Status() const { return TextOf(Control(kStatus)); }

  void Join(const std::wstring& code, const std::wstring& distro) {
    SetText(Control(kCodeField), code);
    SetText(Control(kDistroField), distro);
    Click(Control(kJoin));
  }

  // A command line that opens Ubuntu in a window of its own: no script.
  bool UbuntuWasOpened() const {
    return ReadFileBytes(InTestDir(L"wsl-commands.log")).find("wsl.exe\" --distribution Ubuntu\n") != std::string::npos;
  }

  void OpenGate() { WriteFileBytes(InTestDir(L"open-gate"), ""); }

  size_t CommandLinesReceived() const {
    const std::string log = ReadFileBytes(InTestDir(L"wsl-commands.log"));
    size_t lines = 0;
    for (char c : log) lines += c == '\n';
    return lines;
  }

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
    EXPECT_EQ(c.code, TextOf(Control(kCodeField)));
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
  EXPECT_EQ(kValidCode, TextOf(Control(kCodeField)));
  EXPECT_TRUE(IsWindowEnabled(Control(kJoin)));
  EXPECT_EQ(0, StopProduct(&product_));
}

// Wine's loader can be told, for this program alone, that crypt32 is not
// there: a code whose node name cannot be decoded is refused as invalid,
// and the program lives on.
TEST_F(WindowDriven, WithoutCrypt32ANamedCodeIsRefusedAndAnUnnamedOneGoesOn) {
  const wchar_t kOverrides[] = L"Software\\Wine\\AppDefaults\\QuenvaleEnroll.exe\\DllOverrides";
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS,
            RegCreateKeyExW(HKEY_CURRENT_USER, kOverrides, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr));
  RegSetValueExW(key, L"crypt32", 0, REG_SZ, reinterpret_cast<const BYTE*>(L""), sizeof(wchar_t));
  RegCloseKey(key);
  struct Restore {
    const wchar_t* path;
    ~Restore() { RegDeleteKeyW(HKEY_CURRENT_USER, path); }
  } restore{kOverrides};

  Start();
  Join(std::wstring(kValidCode) + L"|bm9kZS0x", L"");
  ASSERT_TRUE(WaitForStatus(product_.window, kStatusInvalidCode));
  Join(kValidCode, L"");
  ASSERT_TRUE(WaitForStatus(product_.window, OutcomeMessage(E_WSL_MISSING)));
  EXPECT_EQ(0, StopProduct(&product_));
}

TEST_F(WindowDriven, WhileBusyTheFormIsLockedCloseIsRefusedAndTheHelpPagesStillOpen) {
  InstallStandIn("", -1);  // no distribution: the preflight prints nothing
  Start(L"QV_TEST_GATE=1");
  Join(kValidCode, L"");
  ASSERT_TRUE(WaitForStatus(product_.window, kStatusStarted));
  ASSERT_TRUE(WaitUntil([&] { return CommandLinesReceived() == 1; }));

  EXPECT_FALSE(IsWindowEnabled(Control(kJoin)));
  EXPECT_FALSE(IsWindowEnabled(Control(kCodeField)));
  EXPECT_FALSE(IsWindowEnabled(Control(kDistroField)));
  EXPECT_TRUE(IsWindowEnabled(Control(kWslGuide)));
  EXPECT_TRUE(IsWindowEnabled(Control(kDockerGuide)));

  // A join that reaches the window while busy starts nothing.
  SendMessageW(product_.window, WM_COMMAND, MAKEWPARAM(101, BN_CLICKED), reinterpret_cast<LPARAM>(Control(kJoin)));
  // One page at a time: each opens in a process of its own, in no set order.
  const std::wstring log = InTestDir(L"urls.log");
  Click(Control(kWslGuide));
  ASSERT_TRUE(WaitUntil([&] { return !ReadFileBytes(log).empty(); }));
  EXPECT_EQ("https://learn.microsoft.com/zh-cn/windows/wsl/install\n", ReadFileBytes(log));
  Click(Control(kDockerGuide));
  ASSERT_TRUE(WaitUntil([&] { return ReadFileBytes(log).find("docs.docker.com") != std::string::npos; }));
  EXPECT_EQ("https://learn.microsoft.com/zh-cn/windows/wsl/install\nhttps://docs.docker.com/desktop/features/wsl/\n",
            ReadFileBytes(log));

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
  EXPECT_EQ(kValidCode, TextOf(Control(kCodeField)));

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
    SetUp();
    InstallStandIn("", -1);
    Start(L"QV_TEST_INSTALL_EXIT=" + std::to_wstring(c.exit_code));
    Join(kValidCode, c.distro_before);
    HWND box = WaitForMessageBox(product_);
    ASSERT_NE(nullptr, box);
    AnswerMessageBox(box, IDYES);
    ASSERT_TRUE(WaitForStatus(product_.window, OutcomeMessage(c.outcome)));
    EXPECT_EQ(c.distro_after, TextOf(Control(kDistroField)));
    EXPECT_EQ(kValidCode, TextOf(Control(kCodeField)));
    // Ubuntu's first-run window is opened, not waited for.
    if (c.opens_ubuntu) {
      EXPECT_TRUE(WaitUntil([&] { return UbuntuWasOpened(); }));
    }
    const std::string log = ReadFileBytes(InTestDir(L"wsl-commands.log"));
    EXPECT_NE(std::string::npos, log.find("wsl.exe\" --install -d Ubuntu --no-launch\n")) << log;
    EXPECT_EQ(c.opens_ubuntu, UbuntuWasOpened()) << log;
    EXPECT_EQ(0, StopProduct(&product_));
    TearDown();
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
    EXPECT_EQ(c.code_cleared ? L"" : kValidCode, TextOf(Control(kCodeField)));
    EXPECT_EQ(c.distro_ubuntu ? L"Ubuntu" : L"Debian", TextOf(Control(kDistroField)));
  }
  EXPECT_EQ(0, StopProduct(&product_));
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
    ASSERT_TRUE(StartProduct(WindowsPathOf(QV_PRODUCT_EXE), L"", &product_, c.show));
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
