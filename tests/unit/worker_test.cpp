// The enrollment worker, driven through scripted platform operations that
// record every call with its arguments.
#include <gtest/gtest.h>

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <ostream>
#include <string>
#include <vector>

#include "core/worker.h"
#include "tests/unit/test_support.h"
#include "wsl/scripts.h"

namespace {

using qvtest::AllZero;
using qvtest::Narrow;

WindowHandle const kOwner = reinterpret_cast<WindowHandle>(static_cast<uintptr_t>(0xC0DE));
const wchar_t kWslPath[] = L"C:\\Windows\\System32\\wsl.exe";
const char kPayload[] = "https://quenvale.com\nqvt_abcdefghijklmnop\nnode-1\n";

struct RunReply {
  bool ok;
  uint32_t exit_code;
  std::string text;
};

RunReply Clean(const std::string& text) { return {true, 0, text}; }
RunReply Exits(uint32_t exit_code, const std::string& text) { return {true, exit_code, text}; }
// The run could not be carried out; whatever the capture holds must not count.
RunReply Fails(const std::string& text) { return {false, 0, text}; }

enum class CaptureAtRelease { kNoRun, kWiped, kKept };

// The scripted platform and the record of what the worker asked of it.
struct Platform {
  bool wsl_found = true;
  std::vector<RunReply> replies;
  size_t next_reply = 0;
  bool docker_desktop = false;
  std::vector<bool> answers;
  size_t next_answer = 0;
  Outcome installer = S_WSL_INSTALLED;

  EnrollmentJob* job = nullptr;
  CommandCapture* capture = nullptr;  // the worker's, as last handed to run
  CaptureAtRelease capture_at_release = CaptureAtRelease::kNoRun;
  std::vector<std::string> events;

  void Record(std::string event, WindowHandle owner, const wchar_t* path) {
    if (owner != kOwner) event += " [wrong owner]";
    if (path != nullptr && wcscmp(path, kWslPath) != 0) event += " [wrong path]";
    events.push_back(event);
  }
};

Platform* Of(void* context) { return static_cast<Platform*>(context); }

std::string ScriptName(const wchar_t* script) {
  if (script == nullptr) return "none";
  if (wcscmp(script, kPreflightScript) == 0) return "preflight";
  if (wcscmp(script, kDependencyScript) == 0) return "dependency";
  if (wcscmp(script, kEnrollmentScript) == 0) return "enrollment";
  return "unknown";
}

bool LocateWsl(void* context, wchar_t (&path)[kWslPathCapacity]) {
  Platform* platform = Of(context);
  platform->Record("locate", kOwner, nullptr);
  if (!platform->wsl_found) return false;
  wcscpy(path, kWslPath);
  return true;
}

bool Run(void* context, const wchar_t* wsl_path, const wchar_t* distro, const wchar_t* extra,
         const wchar_t* script, const char* payload, CommandCapture* capture) {
  Platform* platform = Of(context);
  platform->Record("run distro=" + Narrow(distro) + " extra=" + Narrow(extra) + " script=" + ScriptName(script) +
                       " input=" + (payload == nullptr ? std::string("(none)") : std::string(payload)),
                   kOwner, wsl_path);
  platform->capture = capture;
  if (platform->next_reply == platform->replies.size()) {
    platform->events.push_back("(unscripted run)");
    ClearCapture(capture);
    return false;
  }
  const RunReply& reply = platform->replies[platform->next_reply++];
  qvtest::FillCapture(capture, reply.text, reply.exit_code);
  return reply.ok;
}

bool DockerDesktopPresent(void* context, const wchar_t* wsl_path) {
  Platform* platform = Of(context);
  platform->Record("docker-desktop", kOwner, wsl_path);
  return platform->docker_desktop;
}

Outcome InstallWsl(void* context, WindowHandle owner, const wchar_t* wsl_path) {
  Platform* platform = Of(context);
  platform->Record("install-wsl", owner, wsl_path);
  return platform->installer;
}

bool Confirm(void* context, WindowHandle owner, PromptKind kind) {
  Platform* platform = Of(context);
  platform->Record("confirm " + std::to_string(kind), owner, nullptr);
  if (platform->next_answer == platform->answers.size()) {
    platform->events.push_back("(unscripted question)");
    return false;
  }
  return platform->answers[platform->next_answer++];
}

void Progress(void* context, WindowHandle owner, PromptKind kind) {
  Of(context)->Record("progress " + std::to_string(kind), owner, nullptr);
}

void Done(void* context, WindowHandle owner, Outcome outcome) {
  Of(context)->Record("done " + std::to_string(outcome), owner, nullptr);
}

// Checks the job is already wiped, then frees it; a worker that touched the
// job afterwards would be a use after free.
void ReleaseJob(void* context, EnrollmentJob* job) {
  Platform* platform = Of(context);
  std::string event = AllZero(job, sizeof *job) ? "release wiped" : "release NOT WIPED";
  if (job != platform->job) event += " [other job]";
  platform->events.push_back(event);
  if (platform->capture != nullptr) {
    platform->capture_at_release = AllZero(platform->capture, sizeof *platform->capture)
                                       ? CaptureAtRelease::kWiped
                                       : CaptureAtRelease::kKept;
  }
  free(job);
}

const WorkerOps kOps = {nullptr, LocateWsl, Run, DockerDesktopPresent, InstallWsl,
                        Confirm,  Progress,  Done, ReleaseJob};

// Runs one attempt for a job naming `distro`; the job is freed by then.
unsigned Attempt(Platform* platform, const wchar_t* distro) {
  EnrollmentJob* job = static_cast<EnrollmentJob*>(calloc(1, sizeof(EnrollmentJob)));
  job->owner = kOwner;
  wcscpy(job->distro, distro);
  memcpy(job->payload, kPayload, sizeof kPayload);
  platform->job = job;
  WorkerOps ops = kOps;
  ops.context = platform;
  return RunEnrollmentWorker(job, &ops);
}

// --- Expected events -----------------------------------------------------

const std::string kLocate = "locate";
const std::string kDockerDesktop = "docker-desktop";
const std::string kInstallWsl = "install-wsl";
const std::string kRelease = "release wiped";

std::string Preflight(const std::string& distro) {
  return "run distro=" + distro + " extra= script=preflight input=(none)";
}
std::string Dependency(const std::string& distro, const std::string& input) {
  return "run distro=" + distro + " extra=--user root script=dependency input=" + input;
}
std::string Enrollment(const std::string& distro) {
  return "run distro=" + distro + " extra= script=enrollment input=" + kPayload;
}
std::string Ask(PromptKind kind) { return "confirm " + std::to_string(kind); }
std::string ProgressOf(PromptKind kind) { return "progress " + std::to_string(kind); }
std::string DoneWith(Outcome outcome) { return "done " + std::to_string(outcome); }

// --- Script output -------------------------------------------------------

const std::string kTools = "QV_NEED_TOOLS\n";
const std::string kOk = "QV_DOCKER_OK\n";
const std::string kExternal = "QV_DOCKER_EXTERNAL\n";
const std::string kNative = "QV_DOCKER_NATIVE\n";
const std::string kMissing = "QV_DOCKER_MISSING\n";
const std::string kUbuntu = "QV_UBUNTU\n";
const std::string kAlice = "QV_USER=alice\nQV_DISTRO=Ubuntu\n";

// The first preflight: its markers, then the user and distribution lines.
std::string Probe(const std::string& markers, const std::string& lines = kAlice) {
  return "QV_PREFLIGHT\n" + markers + lines;
}

const std::string kDepsReady = "Setting up docker.io ...\nQV_DEPS_READY\n";
const std::string kConnected = "QV_INSTALL_RUNNING\ninstalling...\nI_CONNECTED\n";
const std::string kNoDistribution = "Windows Subsystem for Linux has no installed distributions.\r\n";
const std::string kUser32 = "abcdefghijklmnopqrstuvwxyz_-0123";

struct WorkerPath {
  const char* name;
  const wchar_t* distro;  // the job's distro at the start
  std::vector<RunReply> replies;
  bool docker_desktop;
  std::vector<bool> answers;
  Outcome installer;
  std::vector<std::string> expected;  // every operation, in order
  CaptureAtRelease capture;
};

void PrintTo(const WorkerPath& path, std::ostream* out) { *out << path.name; }

std::vector<WorkerPath> Paths() {
  const Outcome kI = S_WSL_INSTALLED;  // installer result where none is asked for
  using C = CaptureAtRelease;
  return {
      // No shell ran in any distribution.
      {"PreflightThatCannotRunGivesStartFailure", L"", {Fails(Probe(kOk))}, false, {}, kI,
       {kLocate, Preflight(""), kRelease, DoneWith(E_START)}, C::kKept},
      {"NoShellWithDebianNamedGivesWslMissingWithoutAsking", L"debian", {Exits(1, kNoDistribution)}, false, {}, kI,
       {kLocate, Preflight("debian"), kRelease, DoneWith(E_WSL_MISSING)}, C::kKept},
      {"NoShellWithTheFieldEmptyRunsTheInstallerAfterAYes", L"", {Exits(1, kNoDistribution)}, false, {true},
       S_WSL_INSTALLED,
       {kLocate, Preflight(""), Ask(PROMPT_INSTALL_WSL), ProgressOf(PROMPT_INSTALL_WSL), kInstallWsl, kRelease,
        DoneWith(S_WSL_INSTALLED)},
       C::kKept},
      {"NoShellWithUbuntuInUpperCaseAsksAndANoDeclines", L"UBUNTU", {Exits(0xFFFFFFFFu, "")}, false, {false}, kI,
       {kLocate, Preflight("UBUNTU"), Ask(PROMPT_INSTALL_WSL), kRelease, DoneWith(S_DEPS_DECLINED)}, C::kKept},
      {"NoShellWithUbuntuInLowerCaseReportsARebootRequest", L"ubuntu", {Exits(1, kNoDistribution)}, false, {true},
       S_REBOOT_REQUIRED,
       {kLocate, Preflight("ubuntu"), Ask(PROMPT_INSTALL_WSL), ProgressOf(PROMPT_INSTALL_WSL), kInstallWsl, kRelease,
        DoneWith(S_REBOOT_REQUIRED)},
       C::kKept},
      {"NoShellWithUbuntuReportsAFailedInstaller", L"Ubuntu", {Exits(1, kNoDistribution)}, false, {true},
       E_WSL_SETUP,
       {kLocate, Preflight("Ubuntu"), Ask(PROMPT_INSTALL_WSL), ProgressOf(PROMPT_INSTALL_WSL), kInstallWsl, kRelease,
        DoneWith(E_WSL_SETUP)},
       C::kKept},
      {"NoShellWithUbuntuLikeNameGivesWslMissing", L"Ubuntu-22.04", {Exits(1, kNoDistribution)}, false, {}, kI,
       {kLocate, Preflight("Ubuntu-22.04"), kRelease, DoneWith(E_WSL_MISSING)}, C::kKept},
      // Only the first letter differs from Ubuntu, in upper and in lower case.
      {"NoShellWithANameOtherThanUbuntuInItsFirstLetterGivesWslMissing", L"Xbuntu", {Exits(1, kNoDistribution)},
       false, {}, kI, {kLocate, Preflight("Xbuntu"), kRelease, DoneWith(E_WSL_MISSING)}, C::kKept},
      {"NoShellWithANameOtherThanUbuntuInItsLowerCaseFirstLetterGivesWslMissing", L"xBUNTU",
       {Exits(1, kNoDistribution)}, false, {}, kI, {kLocate, Preflight("xBUNTU"), kRelease, DoneWith(E_WSL_MISSING)},
       C::kKept},

      // The shell ran but the preflight stopped early.
      {"WslOneGivesVersionError", L"", {Exits(11, "QV_PREFLIGHT\nQV_WSL_NOT_2\n")}, false, {}, kI,
       {kLocate, Preflight(""), kRelease, DoneWith(E_WSL_VERSION)}, C::kKept},
      {"WslOneMarkerWinsOverACleanExit", L"", {Clean(Probe("QV_WSL_NOT_2\n" + kOk))}, false, {}, kI,
       {kLocate, Preflight(""), kRelease, DoneWith(E_WSL_VERSION)}, C::kKept},
      {"PreflightEndingNonZeroGivesStartFailure", L"", {Exits(1, Probe(kOk))}, false, {}, kI,
       {kLocate, Preflight(""), kRelease, DoneWith(E_START)}, C::kKept},

      // Nothing to install: enroll at once.
      {"DockerAnsweringAndToolsPresentEnrollsAtOnce", L"", {Clean("QV_PREFLIGHT\nQV_DOCKER_OK\n"), Clean(kConnected)},
       false, {}, kI, {kLocate, Preflight(""), Enrollment(""), kRelease, DoneWith(S_CONNECTED)}, C::kWiped},
      {"ReadyDistributionOtherThanUbuntuEnrollsAtOnce", L"Debian", {Clean(Probe(kOk)), Clean(kConnected)}, false,
       {}, kI, {kLocate, Preflight("Debian"), Enrollment("Debian"), kRelease, DoneWith(S_CONNECTED)}, C::kWiped},
      {"ReadyRootShellWithAnUnusableDistroLineEnrollsWithTheFieldAsLeft", L"",
       {Clean(Probe(kOk + kUbuntu, "QV_DISTRO=My Distro/1\n")), Clean(kConnected)}, false, {}, kI,
       {kLocate, Preflight(""), Enrollment(""), kRelease, DoneWith(S_CONNECTED)}, C::kWiped},
      {"EnrollmentRunThatCannotRunGivesStartFailureAndKeepsTheCapture", L"",
       {Clean(Probe(kOk)), Fails(kConnected)}, false, {}, kI,
       {kLocate, Preflight(""), Enrollment(""), kRelease, DoneWith(E_START)}, C::kKept},
      {"EnrollmentWithoutTheRunningLineIsClassified", L"", {Clean(Probe(kOk)), Clean("...\nI_CONNECTED\n")}, false,
       {}, kI, {kLocate, Preflight(""), Enrollment(""), kRelease, DoneWith(E_INSTALL)}, C::kWiped},
      {"EnrollmentWithoutTheConnectedLineIsClassified", L"", {Clean(Probe(kOk)), Clean("QV_INSTALL_RUNNING\n")},
       false, {}, kI, {kLocate, Preflight(""), Enrollment(""), kRelease, DoneWith(E_INSTALL)}, C::kWiped},
      {"EnrollmentWithBothLinesButAFailingStatusIsClassified", L"", {Clean(Probe(kOk)), Exits(1, kConnected)},
       false, {}, kI, {kLocate, Preflight(""), Enrollment(""), kRelease, DoneWith(E_INSTALL)}, C::kWiped},
      {"EnrollmentWithAFailedDownloadGivesDownloadError", L"",
       {Clean(Probe(kOk)), Exits(14, "QV_DOWNLOAD_FAILED\nE_TOKEN_X\n")}, false, {}, kI,
       {kLocate, Preflight(""), Enrollment(""), kRelease, DoneWith(E_DOWNLOAD)}, C::kWiped},
      {"EnrollmentWithATokenErrorGivesTokenError", L"",
       {Clean(Probe(kOk)), Exits(1, "QV_INSTALL_RUNNING\nE_TOKEN_EXPIRED\n")}, false, {}, kI,
       {kLocate, Preflight(""), Enrollment(""), kRelease, DoneWith(E_TOKEN)}, C::kWiped},

      // Something is missing outside Ubuntu: nothing is offered.
      {"NotUbuntuWithToolsMissingGivesPrerequisite", L"", {Clean(Probe(kTools + kOk))}, false, {}, kI,
       {kLocate, Preflight(""), kRelease, DoneWith(E_PREREQUISITE)}, C::kKept},
      {"NotUbuntuWithToolsAndDockerMissingGivesPrerequisite", L"", {Clean(Probe(kTools + kMissing))}, false, {}, kI,
       {kLocate, Preflight(""), kRelease, DoneWith(E_PREREQUISITE)}, C::kKept},
      {"NotUbuntuWithDockerMissingGivesDockerNotReady", L"", {Clean(Probe(kMissing))}, false, {}, kI,
       {kLocate, Preflight(""), kRelease, DoneWith(E_DOCKER_NOT_READY)}, C::kKept},

      // Ubuntu, but the user or the distribution line is unusable.
      {"UbuntuRunAsRootWithToolsMissingGivesFirstRun", L"",
       {Clean(Probe(kTools + kOk + kUbuntu, "QV_DISTRO=Ubuntu\n"))}, false, {}, kI,
       {kLocate, Preflight(""), kRelease, DoneWith(E_WSL_FIRST_RUN)}, C::kKept},
      {"UbuntuWithAnUnusableUserNameGivesFirstRun", L"",
       {Clean(Probe(kMissing + kUbuntu, "QV_USER=-alice\nQV_DISTRO=Ubuntu\n"))}, false, {}, kI,
       {kLocate, Preflight(""), kRelease, DoneWith(E_WSL_FIRST_RUN)}, C::kKept},
      {"UbuntuWithAnUnusableDistroLineGivesDependencySetup", L"",
       {Clean(Probe(kTools + kOk + kUbuntu, "QV_USER=alice\nQV_DISTRO=My Distro\n"))}, false, {}, kI,
       {kLocate, Preflight(""), kRelease, DoneWith(E_DEPENDENCY_SETUP)}, C::kKept},
      {"UbuntuWithoutADistroLineGivesDependencySetup", L"", {Clean(Probe(kTools + kOk + kUbuntu, "QV_USER=alice\n"))},
       false, {}, kI, {kLocate, Preflight(""), kRelease, DoneWith(E_DEPENDENCY_SETUP)}, C::kKept},

      // Ubuntu with Docker provided from outside and tools present.
      {"UbuntuWithExternalDockerGivesDockerNotReadyWithoutAsking", L"", {Clean(Probe(kExternal + kUbuntu))}, false,
       {}, kI, {kLocate, Preflight(""), kRelease, DoneWith(E_DOCKER_NOT_READY)}, C::kKept},
      {"UbuntuWithDockerMissingButDockerDesktopFoundGivesDockerNotReady", L"", {Clean(Probe(kMissing + kUbuntu))},
       true, {}, kI, {kLocate, Preflight(""), kDockerDesktop, kRelease, DoneWith(E_DOCKER_NOT_READY)}, C::kKept},

      // Ubuntu: ask, install, probe again, enroll.
      {"UbuntuToolsMissingDockerOkInstallsToolsOnly", L"",
       {Clean(Probe(kTools + kOk + kUbuntu)), Clean(kDepsReady), Clean(Probe(kOk + kUbuntu)), Clean(kConnected)},
       false, {true}, kI,
       {kLocate, Preflight(""), Ask(PROMPT_TOOLS), ProgressOf(PROMPT_TOOLS), Dependency("Ubuntu", "alice\n1\nnone\n"),
        Preflight("Ubuntu"), Enrollment("Ubuntu"), kRelease, DoneWith(S_CONNECTED)},
       C::kWiped},
      {"UbuntuDockerMissingWithoutDockerDesktopInstallsDocker", L"",
       {Clean(Probe(kMissing + kUbuntu)), Clean(kDepsReady), Clean(Probe(kOk + kUbuntu)), Clean(kConnected)}, false,
       {true}, kI,
       {kLocate, Preflight(""), kDockerDesktop, Ask(PROMPT_DOCKER), ProgressOf(PROMPT_DOCKER),
        Dependency("Ubuntu", "alice\n0\ninstall\n"), Preflight("Ubuntu"), Enrollment("Ubuntu"), kRelease,
        DoneWith(S_CONNECTED)},
       C::kWiped},
      {"UbuntuToolsMissingAndNativeDaemonRepairsDocker", L"",
       {Clean(Probe(kTools + kNative + kUbuntu)), Clean(kDepsReady), Clean(Probe(kOk + kUbuntu)), Clean(kConnected)},
       false, {true}, kI,
       {kLocate, Preflight(""), kDockerDesktop, Ask(PROMPT_TOOLS_AND_DOCKER), ProgressOf(PROMPT_TOOLS_AND_DOCKER),
        Dependency("Ubuntu", "alice\n1\nrepair\n"), Preflight("Ubuntu"), Enrollment("Ubuntu"), kRelease,
        DoneWith(S_CONNECTED)},
       C::kWiped},
      {"UbuntuToolsAndDockerMissingInstallsBoth", L"",
       {Clean(Probe(kTools + kMissing + kUbuntu)), Clean(kDepsReady), Clean(Probe(kOk + kUbuntu)),
        Exits(14, "QV_DOWNLOAD_FAILED\n")},
       false, {true}, kI,
       {kLocate, Preflight(""), kDockerDesktop, Ask(PROMPT_TOOLS_AND_DOCKER), ProgressOf(PROMPT_TOOLS_AND_DOCKER),
        Dependency("Ubuntu", "alice\n1\ninstall\n"), Preflight("Ubuntu"), Enrollment("Ubuntu"), kRelease,
        DoneWith(E_DOWNLOAD)},
       C::kWiped},
      {"UbuntuNativeDaemonWithDockerDesktopInstallsToolsThenStopsAtDocker", L"",
       {Clean(Probe(kTools + kNative + kUbuntu)), Clean(kDepsReady)}, true, {true}, kI,
       {kLocate, Preflight(""), kDockerDesktop, Ask(PROMPT_TOOLS), ProgressOf(PROMPT_TOOLS),
        Dependency("Ubuntu", "alice\n1\nnone\n"), kRelease, DoneWith(E_DOCKER_NOT_READY)},
       C::kKept},
      {"UbuntuExternalDockerWithToolsMissingInstallsToolsThenStopsAtDocker", L"",
       {Clean(Probe(kTools + kExternal + kUbuntu)), Clean(kDepsReady)}, false, {true}, kI,
       {kLocate, Preflight(""), Ask(PROMPT_TOOLS), ProgressOf(PROMPT_TOOLS), Dependency("Ubuntu", "alice\n1\nnone\n"),
        kRelease, DoneWith(E_DOCKER_NOT_READY)},
       C::kKept},
      {"UbuntuDockerOkWithAnExternalWordStillProbesAgain", L"",
       {Clean(Probe(kTools + kOk + kExternal + kUbuntu)), Clean(kDepsReady), Clean(Probe(kOk + kUbuntu)),
        Clean(kConnected)},
       false, {true}, kI,
       {kLocate, Preflight(""), Ask(PROMPT_TOOLS), ProgressOf(PROMPT_TOOLS), Dependency("Ubuntu", "alice\n1\nnone\n"),
        Preflight("Ubuntu"), Enrollment("Ubuntu"), kRelease, DoneWith(S_CONNECTED)},
       C::kWiped},
      {"UbuntuDistroFromTheReportIsPassedToEveryLaterRun", L"",
       {Clean(Probe(kTools + kOk + kUbuntu, "QV_USER=alice\r\nQV_DISTRO=Ubuntu-22.04\r\n")), Clean(kDepsReady),
        Clean(Probe(kOk + kUbuntu)), Clean(kConnected)},
       false, {true}, kI,
       {kLocate, Preflight(""), Ask(PROMPT_TOOLS), ProgressOf(PROMPT_TOOLS),
        Dependency("Ubuntu-22.04", "alice\n1\nnone\n"), Preflight("Ubuntu-22.04"), Enrollment("Ubuntu-22.04"),
        kRelease, DoneWith(S_CONNECTED)},
       C::kWiped},
      {"UbuntuDistroTheUserNamedWinsOverTheReport", L"Ubuntu",
       {Clean(Probe(kTools + kOk + kUbuntu, "QV_USER=alice\nQV_DISTRO=Other Name\n")), Clean(kDepsReady),
        Clean(Probe(kOk + kUbuntu)), Clean(kConnected)},
       false, {true}, kI,
       {kLocate, Preflight("Ubuntu"), Ask(PROMPT_TOOLS), ProgressOf(PROMPT_TOOLS),
        Dependency("Ubuntu", "alice\n1\nnone\n"), Preflight("Ubuntu"), Enrollment("Ubuntu"), kRelease,
        DoneWith(S_CONNECTED)},
       C::kWiped},
      {"UbuntuLongestUserNameAndModeMakeTheLongestInput", L"",
       {Clean(Probe(kTools + kNative + kUbuntu, "QV_USER=" + kUser32 + "\nQV_DISTRO=Ubuntu\n")), Clean(kDepsReady),
        Clean(Probe(kOk + kUbuntu)), Clean(kConnected)},
       false, {true}, kI,
       {kLocate, Preflight(""), kDockerDesktop, Ask(PROMPT_TOOLS_AND_DOCKER), ProgressOf(PROMPT_TOOLS_AND_DOCKER),
        Dependency("Ubuntu", kUser32 + "\n1\nrepair\n"), Preflight("Ubuntu"), Enrollment("Ubuntu"), kRelease,
        DoneWith(S_CONNECTED)},
       C::kWiped},

      // Ubuntu: the user says No, or the installation does not take.
      {"UbuntuQuestionAnsweredNoDeclines", L"", {Clean(Probe(kTools + kMissing + kUbuntu))}, false, {false}, kI,
       {kLocate, Preflight(""), kDockerDesktop, Ask(PROMPT_TOOLS_AND_DOCKER), kRelease, DoneWith(S_DEPS_DECLINED)},
       C::kKept},
      {"UbuntuDependencyRunThatCannotRunGivesDependencySetup", L"",
       {Clean(Probe(kTools + kOk + kUbuntu)), Fails(kDepsReady)}, false, {true}, kI,
       {kLocate, Preflight(""), Ask(PROMPT_TOOLS), ProgressOf(PROMPT_TOOLS), Dependency("Ubuntu", "alice\n1\nnone\n"),
        kRelease, DoneWith(E_DEPENDENCY_SETUP)},
       C::kKept},
      {"UbuntuDependencyRunEndingNonZeroGivesDependencySetup", L"",
       {Clean(Probe(kMissing + kUbuntu)), Exits(18, kDepsReady)}, false, {true}, kI,
       {kLocate, Preflight(""), kDockerDesktop, Ask(PROMPT_DOCKER), ProgressOf(PROMPT_DOCKER),
        Dependency("Ubuntu", "alice\n0\ninstall\n"), kRelease, DoneWith(E_DEPENDENCY_SETUP)},
       C::kKept},
      {"UbuntuDependencyRunWithoutItsReadyWordGivesDependencySetup", L"",
       {Clean(Probe(kTools + kExternal + kUbuntu)), Clean("apt-get done\n")}, false, {true}, kI,
       {kLocate, Preflight(""), Ask(PROMPT_TOOLS), ProgressOf(PROMPT_TOOLS), Dependency("Ubuntu", "alice\n1\nnone\n"),
        kRelease, DoneWith(E_DEPENDENCY_SETUP)},
       C::kKept},
      {"UbuntuSecondPreflightThatCannotRunGivesDependencySetup", L"",
       {Clean(Probe(kTools + kOk + kUbuntu)), Clean(kDepsReady), Fails(Probe(kOk + kUbuntu))}, false, {true}, kI,
       {kLocate, Preflight(""), Ask(PROMPT_TOOLS), ProgressOf(PROMPT_TOOLS), Dependency("Ubuntu", "alice\n1\nnone\n"),
        Preflight("Ubuntu"), kRelease, DoneWith(E_DEPENDENCY_SETUP)},
       C::kKept},
      {"UbuntuSecondPreflightEndingNonZeroGivesDependencySetup", L"",
       {Clean(Probe(kTools + kOk + kUbuntu)), Clean(kDepsReady), Exits(1, Probe(kOk + kUbuntu))}, false, {true}, kI,
       {kLocate, Preflight(""), Ask(PROMPT_TOOLS), ProgressOf(PROMPT_TOOLS), Dependency("Ubuntu", "alice\n1\nnone\n"),
        Preflight("Ubuntu"), kRelease, DoneWith(E_DEPENDENCY_SETUP)},
       C::kKept},
      {"UbuntuSecondPreflightStillNeedingToolsGivesDependencySetup", L"",
       {Clean(Probe(kTools + kOk + kUbuntu)), Clean(kDepsReady), Clean(Probe(kTools + kOk + kUbuntu))}, false, {true},
       kI,
       {kLocate, Preflight(""), Ask(PROMPT_TOOLS), ProgressOf(PROMPT_TOOLS), Dependency("Ubuntu", "alice\n1\nnone\n"),
        Preflight("Ubuntu"), kRelease, DoneWith(E_DEPENDENCY_SETUP)},
       C::kKept},
      {"UbuntuSecondPreflightWithDockerStillSilentGivesDependencySetup", L"",
       {Clean(Probe(kMissing + kUbuntu)), Clean(kDepsReady), Clean(Probe(kNative + kUbuntu))}, false, {true}, kI,
       {kLocate, Preflight(""), kDockerDesktop, Ask(PROMPT_DOCKER), ProgressOf(PROMPT_DOCKER),
        Dependency("Ubuntu", "alice\n0\ninstall\n"), Preflight("Ubuntu"), kRelease, DoneWith(E_DEPENDENCY_SETUP)},
       C::kKept},
  };
}

class WorkerPathTest : public ::testing::TestWithParam<WorkerPath> {};

TEST_P(WorkerPathTest, RunsExactlyTheseOperationsAndReportsTheOutcomeLast) {
  const WorkerPath& path = GetParam();
  Platform platform;
  platform.replies = path.replies;
  platform.docker_desktop = path.docker_desktop;
  platform.answers = path.answers;
  platform.installer = path.installer;
  EXPECT_EQ(0u, Attempt(&platform, path.distro));
  EXPECT_EQ(path.expected, platform.events);
  EXPECT_EQ(path.capture, platform.capture_at_release);
  // Every scripted reply and answer was used: nothing expected was skipped.
  EXPECT_EQ(path.replies.size(), platform.next_reply);
  EXPECT_EQ(path.answers.size(), platform.next_answer);
}

INSTANTIATE_TEST_SUITE_P(EveryPath, WorkerPathTest, ::testing::ValuesIn(Paths()),
                         [](const ::testing::TestParamInfo<WorkerPath>& info) { return std::string(info.param.name); });

TEST(Worker, WithoutWslExeEndsAtOnceWithWslMissing) {
  Platform platform;
  platform.wsl_found = false;
  EXPECT_EQ(0u, Attempt(&platform, L"Ubuntu"));
  const std::vector<std::string> expected = {kLocate, kRelease, DoneWith(E_WSL_MISSING)};
  EXPECT_EQ(expected, platform.events);
  EXPECT_EQ(CaptureAtRelease::kNoRun, platform.capture_at_release);
}

TEST(Worker, AsksForDockerDesktopOnlyWhenTheMarkersLeaveItOpen) {
  struct Case {
    std::string markers;
    bool probed;
  };
  const Case cases[] = {
      {kTools + kOk, false},             // Docker answers
      {kTools + kExternal, false},       // Docker comes from outside
      {kTools + kOk + kExternal, false},
      {kTools + kMissing, true},
      {kTools + kNative, true},
      {kMissing, true},
      {kNative, true},
  };
  for (const Case& c : cases) {
    Platform platform;
    // Decline, so the attempt ends right after the question.
    platform.replies = {Clean(Probe(c.markers + kUbuntu))};
    platform.answers = {false};
    Attempt(&platform, L"");
    int probes = 0;
    for (const std::string& event : platform.events) probes += event == kDockerDesktop ? 1 : 0;
    EXPECT_EQ(c.probed ? 1 : 0, probes) << c.markers;
  }
}

}  // namespace
