// Finding wsl.exe, telling whether Docker Desktop is there, and running the
// WSL installer, each against a stand-in wsl.exe of ours
// (tools/fake_wsl.cpp): here it takes its script from FAKE_WSL_SCRIPT and
// records every start's arguments in the file FAKE_WSL_LOG names. The
// system directory and the shell are reached through this program's imports
// (import_hooks.h), so the real wsl.exe is never looked at or started and
// nothing is elevated.

#include <string>

#include <gtest/gtest.h>

#include "import_hooks.h"
#include "win32_test_support.h"
#include "wsl/host_probes.h"

namespace {

TEST(JoinWslPath, AcceptsSystemDirectoriesOf1To250Units) {
  const std::wstring longest = L"C:\\" + std::wstring(247, L'd');
  const struct {
    std::wstring directory;
    size_t length;
    bool accepted;
  } cases[] = {
      {L"", 0, false},
      {L"C", 1, true},
      {L"C:\\windows\\system32", 19, true},
      {longest.substr(0, 249), 249, true},
      {longest, 250, true},
      {longest + L"d", 251, false},
      {longest + L"dddddddddd", 260, false},
      // Only `length` units count, whatever follows them.
      {L"C:\\windows\\system32-and-more", 19, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.length << " units");
    ASSERT_GE(c.directory.size(), c.length);
    wchar_t path[kWslPathCapacity];
    EXPECT_EQ(c.accepted, JoinWslPath(c.directory.c_str(), c.length, path));
    if (c.accepted) {
      EXPECT_EQ(c.directory.substr(0, c.length) + L"\\wsl.exe", std::wstring(path));
    }
  }
}

// The system directory, as this program's GetSystemDirectoryW answers it, is
// an empty folder of the test's own: on Windows, System32 holds the real
// wsl.exe, which cannot be moved aside and which no test may start.
class LocateWslTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(folder_.path().empty());
    ASSERT_TRUE(RedirectSystemDirectory(GetModuleHandleW(nullptr), folder_.path().c_str()));
  }
  void TearDown() override { RestoreImports(GetModuleHandleW(nullptr)); }

  ScratchFolder folder_{L"system-directory"};
};

TEST_F(LocateWslTest, FindsTheSystemDirectorysWslExe) {
  const std::wstring installed = folder_ / L"wsl.exe";
  ASSERT_TRUE(CopyFileW(FakeWslPath().c_str(), installed.c_str(), FALSE));
  wchar_t path[kWslPathCapacity];
  ASSERT_TRUE(LocateWsl(path));
  EXPECT_EQ(installed, std::wstring(path));
}

TEST_F(LocateWslTest, FailsWhenTheSystemDirectoryHasNoWslExe) {
  wchar_t path[kWslPathCapacity];
  EXPECT_FALSE(LocateWsl(path));
}

enum class ProgramFiles { kUnset, kEmpty, kWithoutDockerDesktop, kWithDockerDesktop, kLength226, kLength227 };

struct DockerCase {
  const char* name;
  ProgramFiles program_files;
  bool wsl_runs;              // false: the path names no program
  std::wstring list;          // what --list --quiet prints, as UTF-16LE
  DWORD list_exit_code;
  bool present;
  int list_runs;              // starts of the stand-in, each with "--list --quiet"
};

// ProgramFiles pointing at `root` with exactly `length` units, padded with
// path steps that lead back to `root`.
std::wstring PaddedTo(const std::wstring& root, size_t length) {
  std::wstring value = root;
  if ((length - value.size()) % 2 != 0) value += L"\\x\\..";
  while (value.size() < length) value += L"\\.";
  return value;
}

class DockerDesktopPresentTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(folder_.path().empty());
    log_.Set(folder_ / L"starts.log");
  }

  // Sets ProgramFiles as the case says; the Docker Desktop executable, when
  // there is one, lives under `with`.
  void SetProgramFiles(ProgramFiles kind) {
    const std::wstring with = folder_ / L"with";
    const std::wstring without = folder_ / L"without";
    CreateDirectoryW(with.c_str(), nullptr);
    CreateDirectoryW(without.c_str(), nullptr);
    CreateDirectoryW((with + L"\\Docker").c_str(), nullptr);
    CreateDirectoryW((with + L"\\Docker\\Docker").c_str(), nullptr);
    ASSERT_TRUE(CreateEmptyFile(with + L"\\Docker\\Docker\\Docker Desktop.exe"));
    switch (kind) {
      case ProgramFiles::kUnset: program_files_.Unset(); break;
      case ProgramFiles::kEmpty: program_files_.Set(L""); break;
      case ProgramFiles::kWithoutDockerDesktop: program_files_.Set(without); break;
      case ProgramFiles::kWithDockerDesktop: program_files_.Set(with); break;
      case ProgramFiles::kLength226: program_files_.Set(PaddedTo(with, 226)); break;
      case ProgramFiles::kLength227: program_files_.Set(PaddedTo(with, 227)); break;
    }
  }

  ScratchFolder folder_{L"docker-probe"};
  ScopedVariable program_files_{L"ProgramFiles"};
  ScopedVariable script_{L"FAKE_WSL_SCRIPT"};
  ScopedVariable log_{L"FAKE_WSL_LOG"};
};

TEST_F(DockerDesktopPresentTest, LooksForTheExecutableFirstAndThenAtTheDistributionList) {
  const std::wstring only_ubuntu = L"Ubuntu\r\n";
  const std::wstring with_docker = L"Ubuntu\r\ndocker-desktop\r\n";
  const DockerCase cases[] = {
      {"executable found", ProgramFiles::kWithDockerDesktop, true, only_ubuntu, 0, true, 0},
      {"executable found, 226 units", ProgramFiles::kLength226, true, only_ubuntu, 0, true, 0},
      {"227 units skip the executable", ProgramFiles::kLength227, true, only_ubuntu, 0, false, 1},
      {"no executable, Ubuntu only", ProgramFiles::kWithoutDockerDesktop, true, only_ubuntu, 0, false, 1},
      {"unset, Ubuntu only", ProgramFiles::kUnset, true, only_ubuntu, 0, false, 1},
      {"empty, Ubuntu only", ProgramFiles::kEmpty, true, only_ubuntu, 0, false, 1},
      {"list names docker-desktop", ProgramFiles::kUnset, true, with_docker, 0, true, 1},
      {"list names docker-desktop-data", ProgramFiles::kUnset, true, L"docker-desktop-data\r\n", 0, true, 1},
      {"names differ in case", ProgramFiles::kUnset, true, L"Docker-Desktop\r\nUbuntu\r\n", 0, false, 1},
      {"no distribution at all", ProgramFiles::kWithoutDockerDesktop, true, L"", 0, false, 1},
      {"list fails, Ubuntu only", ProgramFiles::kUnset, true, only_ubuntu, 1, true, 1},
      {"list fails, docker-desktop", ProgramFiles::kUnset, true, with_docker, 0xFFFFFFFF, true, 1},
      {"wsl.exe cannot run", ProgramFiles::kWithoutDockerDesktop, false, only_ubuntu, 0, true, 0},
  };
  for (const DockerCase& c : cases) {
    SCOPED_TRACE(c.name);
    SetProgramFiles(c.program_files);
    const std::wstring log = folder_ / L"starts.log";
    DeleteFileW(log.c_str());
    script_.Set(Utf16LeHexStatement(c.list) + L"; exit " + std::to_wstring(c.list_exit_code));
    const std::wstring wsl = c.wsl_runs ? FakeWslPath() : folder_ / L"missing\\wsl.exe";

    EXPECT_EQ(c.present, DockerDesktopPresent(wsl.c_str()));
    std::string expected_log;
    for (int i = 0; i < c.list_runs; ++i) expected_log += "--list --quiet\n";
    EXPECT_EQ(expected_log, ReadWholeFile(log));
  }
}

// The installer's start is recorded in shell.log and made without
// elevation: on Windows, "runas" would show a prompt to a tester who is not
// already elevated.
class InstallWslTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(folder_.path().empty());
    log_.Set(folder_ / L"starts.log");
    ASSERT_TRUE(RecordShellCalls(GetModuleHandleW(nullptr), folder_.path().c_str()));
  }
  void TearDown() override { RestoreImports(GetModuleHandleW(nullptr)); }

  ScratchFolder folder_{L"wsl-installer"};
  ScopedVariable script_{L"FAKE_WSL_SCRIPT"};
  ScopedVariable log_{L"FAKE_WSL_LOG"};
};

TEST_F(InstallWslTest, TurnsTheInstallersExitCodeIntoAnOutcomeAndOpensUbuntuOnlyAfterSuccess) {
  const struct {
    DWORD exit_code;
    Outcome outcome;
    bool opens_ubuntu;
  } cases[] = {
      {0, S_WSL_INSTALLED, true},       {1641, S_REBOOT_REQUIRED, false}, {3010, S_REBOOT_REQUIRED, false},
      {1, E_WSL_SETUP, false},          {1640, E_WSL_SETUP, false},       {3011, E_WSL_SETUP, false},
      {0xFFFFFFFF, E_WSL_SETUP, false},
  };
  const std::wstring log = folder_ / L"starts.log";
  const std::wstring shell_log = folder_ / L"shell.log";
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "installer exit code " << c.exit_code);
    DeleteFileW(log.c_str());
    DeleteFileW(shell_log.c_str());
    script_.Set(L"exit " + std::to_wstring(c.exit_code));

    EXPECT_EQ(c.outcome, InstallWslWithUbuntu(nullptr, FakeWslPath().c_str()));
    const std::string install = "--install -d Ubuntu --no-launch\n";
    if (c.opens_ubuntu) {
      // Ubuntu is opened without waiting: give it a bounded time to start.
      for (int tries = 0; tries < 300 && ReadWholeFile(log) == install; ++tries) Sleep(100);
    }
    // Whatever was started has ended before the log is read.
    ASSERT_TRUE(WaitForChildProcesses(60));
    EXPECT_EQ(c.opens_ubuntu ? install + "--distribution Ubuntu\n" : install, ReadWholeFile(log));
    // Started as an administrator would need it.
    EXPECT_EQ("runas|" + Utf8(FakeWslPath()) + "|" + install, ReadWholeFile(shell_log));
  }
}

// Stands in for a refused elevation: the shell call itself fails. No box
// may appear, nothing is opened.
TEST_F(InstallWslTest, FailsAndOpensNothingWhenTheInstallerCannotBeStarted) {
  const std::wstring missing = folder_ / L"no-such-wsl.exe";
  EXPECT_EQ(E_WSL_SETUP, InstallWslWithUbuntu(nullptr, missing.c_str()));
  ASSERT_TRUE(WaitForChildProcesses(60));
  EXPECT_EQ("", ReadWholeFile(folder_ / L"starts.log"));
}

}  // namespace
