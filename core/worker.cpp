#include "core/worker.h"

#include "core/probe_report.h"
#include "core/text_buffer.h"
#include "core/wipe.h"
#include "wsl/scripts.h"

namespace {

// What the attempt keeps between its steps.
struct Attempt {
  EnrollmentJob* job;
  const WorkerOps* ops;
  wchar_t wsl_path[kWslPathCapacity];
  CommandCapture capture;  // reused by every script run of the attempt
  bool need_tools;
  bool docker_ok;
  bool need_docker;
  char user[kUserNameCapacity];
  char dependency_input[kDependencyInputCapacity];
};

bool RunScript(Attempt* attempt, const wchar_t* extra, const wchar_t* script, const char* payload) {
  return attempt->ops->run(attempt->ops->context, attempt->wsl_path, attempt->job->distro, extra,
                           script, payload, &attempt->capture);
}

bool RanClean(Attempt* attempt, const wchar_t* extra, const wchar_t* script, const char* payload) {
  return RunScript(attempt, extra, script, payload) && attempt->capture.exit_code == 0;
}

bool Has(const Attempt* attempt, const char* marker) {
  return HasMarker(&attempt->capture, marker);
}

Outcome Enroll(Attempt* attempt) {
  const bool ran = RunScript(attempt, kNoExtraArguments, kEnrollmentScript, attempt->job->payload);
  if (!ran) return E_START;
  Outcome outcome = E_INSTALL;
  if (attempt->capture.exit_code == 0 && Has(attempt, "QV_INSTALL_RUNNING") && Has(attempt, "I_CONNECTED")) {
    outcome = S_CONNECTED;
  } else {
    outcome = ClassifyEnrollmentRun(&attempt->capture);
  }
  // The enrollment run's output may echo what install.sh was given.
  Wipe(&attempt->capture, sizeof attempt->capture);
  return outcome;
}

// No shell ran in any distribution: offer Microsoft's installer, which only
// ever brings Ubuntu.
Outcome OfferWslInstall(Attempt* attempt) {
  const EnrollmentJob* job = attempt->job;
  const WorkerOps* ops = attempt->ops;
  if (job->distro[0] != 0 && !WideEqualsAsciiNoCase(job->distro, L"Ubuntu")) return E_WSL_MISSING;
  if (!ops->confirm(ops->context, job->owner, PROMPT_INSTALL_WSL)) return S_DEPS_DECLINED;
  ops->progress(ops->context, job->owner, PROMPT_INSTALL_WSL);
  return ops->install_wsl(ops->context, job->owner, attempt->wsl_path);
}

PromptKind DependencyPrompt(const Attempt* attempt) {
  if (attempt->need_tools && attempt->need_docker) return PROMPT_TOOLS_AND_DOCKER;
  return attempt->need_docker ? PROMPT_DOCKER : PROMPT_TOOLS;
}

const char* DockerMode(const Attempt* attempt) {
  if (!attempt->need_docker) return "none";
  return Has(attempt, "QV_DOCKER_NATIVE") ? "repair" : "install";
}

// Ubuntu lacks tools or a Docker engine: ask, install as root, probe again.
Outcome InstallDependencies(Attempt* attempt) {
  EnrollmentJob* job = attempt->job;
  const WorkerOps* ops = attempt->ops;
  if (!Has(attempt, "QV_UBUNTU")) return attempt->need_tools ? E_PREREQUISITE : E_DOCKER_NOT_READY;
  if (!ReadUser(&attempt->capture, attempt->user)) return E_WSL_FIRST_RUN;
  // From here the distro names where the first preflight ran, so every later
  // run goes to the same distribution even if the user left the field empty.
  if (!ReadDistribution(job, &attempt->capture)) return E_DEPENDENCY_SETUP;

  attempt->need_docker = !attempt->docker_ok && !Has(attempt, "QV_DOCKER_EXTERNAL") &&
                         !ops->docker_desktop_present(ops->context, attempt->wsl_path);
  if (!attempt->need_tools && !attempt->need_docker) return E_DOCKER_NOT_READY;

  const PromptKind kind = DependencyPrompt(attempt);
  if (!ops->confirm(ops->context, job->owner, kind)) return S_DEPS_DECLINED;
  ops->progress(ops->context, job->owner, kind);

  // user LF 1|0 LF mode LF: at most 32 + 1 + 7 + 3 bytes, well inside the buffer.
  ByteWriter input;
  ByteWriterStart(&input, attempt->dependency_input, dimof(attempt->dependency_input));
  ByteWriterAppendText(&input, attempt->user);
  ByteWriterAppendText(&input, "\n");
  ByteWriterAppendUnsigned(&input, attempt->need_tools ? 1 : 0);
  ByteWriterAppendText(&input, "\n");
  ByteWriterAppendText(&input, DockerMode(attempt));
  ByteWriterAppendText(&input, "\n");

  if (!RanClean(attempt, kUserRootArguments, kDependencyScript, attempt->dependency_input) ||
      !Has(attempt, "QV_DEPS_READY")) {
    return E_DEPENDENCY_SETUP;
  }
  // Docker comes from outside and was not answering; installing tools did
  // not change that.
  if (!attempt->docker_ok && !attempt->need_docker) return E_DOCKER_NOT_READY;

  // Enroll only on the strength of a fresh probe.
  if (!RanClean(attempt, kNoExtraArguments, kPreflightScript, nullptr) || Has(attempt, "QV_NEED_TOOLS") ||
      !Has(attempt, "QV_DOCKER_OK")) {
    return E_DEPENDENCY_SETUP;
  }
  return Enroll(attempt);
}

Outcome CarryOut(Attempt* attempt) {
  const WorkerOps* ops = attempt->ops;
  if (!ops->locate_wsl(ops->context, attempt->wsl_path)) return E_WSL_MISSING;
  if (!RunScript(attempt, kNoExtraArguments, kPreflightScript, nullptr)) return E_START;
  if (!Has(attempt, "QV_PREFLIGHT")) return OfferWslInstall(attempt);
  if (Has(attempt, "QV_WSL_NOT_2")) return E_WSL_VERSION;
  if (attempt->capture.exit_code != 0) return E_START;

  attempt->need_tools = Has(attempt, "QV_NEED_TOOLS");
  attempt->docker_ok = Has(attempt, "QV_DOCKER_OK");
  if (!attempt->need_tools && attempt->docker_ok) return Enroll(attempt);
  return InstallDependencies(attempt);
}

}  // namespace

unsigned RunEnrollmentWorker(EnrollmentJob* job, const WorkerOps* ops) {
  // The job is gone by the time the outcome is reported.
  const WindowHandle owner = job->owner;
  Attempt attempt = {};
  attempt.job = job;
  attempt.ops = ops;
  const Outcome outcome = CarryOut(&attempt);
  Wipe(job, sizeof *job);
  ops->release_job(ops->context, job);
  ops->done(ops->context, owner, outcome);
  return 0;
}
