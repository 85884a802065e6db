// One enrollment attempt, from a job to one outcome, over a small table of
// platform operations so that every path runs the same on Windows and under
// scripted test operations.
#pragma once

#include <stddef.h>

#include "core/enrollment_job.h"
#include "core/outcome.h"
#include "wsl/command_capture.h"

inline constexpr size_t kWslPathCapacity = 260;
inline constexpr size_t kDependencyInputCapacity = 64;

struct WorkerOps {
  void* context;  // handed back to every operation

  // Full path of wsl.exe, or false when it is not there.
  bool (*locate_wsl)(void* context, wchar_t (&path)[kWslPathCapacity]);
  // Runs one command line of wsl.exe (script null: the plain form) with the
  // payload (or null) on its standard input. False: the command could not be
  // carried out and the capture is not to be used.
  bool (*run)(void* context, const wchar_t* wsl_path, const wchar_t* distro, const wchar_t* extra,
              const wchar_t* script, const char* payload, CommandCapture* capture);
  bool (*docker_desktop_present)(void* context, const wchar_t* wsl_path);
  // Microsoft's installer, elevated: S_WSL_INSTALLED, S_REBOOT_REQUIRED or E_WSL_SETUP.
  Outcome (*install_wsl)(void* context, WindowHandle owner, const wchar_t* wsl_path);

  // The owner window's side: a Yes/No question and a status change, both
  // answered before they return, and the outcome, delivered afterwards.
  bool (*confirm)(void* context, WindowHandle owner, PromptKind kind);
  void (*progress)(void* context, WindowHandle owner, PromptKind kind);
  void (*done)(void* context, WindowHandle owner, Outcome outcome);

  // Gives the job's memory back; the worker has wiped it already.
  void (*release_job)(void* context, EnrollmentJob* job);
};

// Carries out the attempt, then wipes and releases the job and, as its very
// last act, reports the outcome to the owner the job named at the start.
unsigned RunEnrollmentWorker(EnrollmentJob* job, const WorkerOps* ops);
