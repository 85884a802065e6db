#include "ui/worker_thread.h"

#include "core/wipe.h"
#include "core/worker.h"
#include "ui/worker_messages.h"
#include "wsl/host_probes.h"
#include "wsl/process_runner.h"

void ReleaseJob(EnrollmentJob* job) {
  Wipe(job, sizeof *job);
  HeapFree(GetProcessHeap(), 0, job);
}

namespace {

bool LocateWslOp(void*, wchar_t (&path)[kWslPathCapacity]) {
  return LocateWsl(path);
}

bool RunOp(void*, const wchar_t* wsl_path, const wchar_t* distro, const wchar_t* extra, const wchar_t* script,
           const char* payload, CommandCapture* capture) {
  return RunWsl(wsl_path, distro, extra, script, payload, capture);
}

bool DockerDesktopPresentOp(void*, const wchar_t* wsl_path) {
  return DockerDesktopPresent(wsl_path);
}

Outcome InstallWslOp(void*, WindowHandle owner, const wchar_t* wsl_path) {
  return InstallWslWithUbuntu(static_cast<HWND>(owner), wsl_path);
}

// N.B. Sent, not posted: the worker must wait for the user's answer. The
// window answers from whatever message loop it is in, a message box's too.
bool ConfirmOp(void*, WindowHandle owner, PromptKind kind) {
  return SendMessageW(static_cast<HWND>(owner), WM_ENROLL_CONFIRM, kind, 0) == 1;
}

void ProgressOp(void*, WindowHandle owner, PromptKind kind) {
  SendMessageW(static_cast<HWND>(owner), WM_ENROLL_PROGRESS, kind, 0);
}

// Posted: the thread ends without waiting for the window.
void DoneOp(void*, WindowHandle owner, Outcome outcome) {
  PostMessageW(static_cast<HWND>(owner), WM_ENROLL_DONE, outcome, 0);
}

// The worker has wiped the job already.
void FreeJobOp(void*, EnrollmentJob* job) {
  HeapFree(GetProcessHeap(), 0, job);
}

const WorkerOps kWin32WorkerOps = {
    nullptr,     LocateWslOp, RunOp,      DockerDesktopPresentOp, InstallWslOp,
    ConfirmOp,   ProgressOp,  DoneOp,     FreeJobOp,
};

}  // namespace

DWORD WINAPI EnrollmentWorkerThread(LPVOID parameter) {
  return RunEnrollmentWorker(static_cast<EnrollmentJob*>(parameter), &kWin32WorkerOps);
}
