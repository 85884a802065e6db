// Reading facts out of what the scripts printed. Each fact is asked for only
// at the step that needs it: a bad QV_USER= or QV_DISTRO= line must not stop
// an enrollment that needs nothing installed.
#pragma once

#include <stddef.h>

#include "core/enrollment_job.h"
#include "core/outcome.h"
#include "wsl/command_capture.h"

inline constexpr size_t kUserNameCapacity = 33;  // 32 bytes and the terminator

// Case-sensitive substring search over the whole captured text.
bool HasMarker(const CommandCapture* capture, const char* marker);

// The value of the first QV_USER= line: 1 to 32 bytes of ASCII letters,
// digits, '_' and '-', not starting with '-'.
bool ReadUser(const CommandCapture* capture, char (&user)[kUserNameCapacity]);

// Keeps a distro the user named; otherwise fills the job's distro from the
// first QV_DISTRO= line (1 to 79 bytes of distribution-name characters).
// After a failure the job's distro must not be used.
bool ReadDistribution(EnrollmentJob* job, const CommandCapture* capture);

// The outcome of an enrollment run that did not succeed: the first failure
// marker found decides.
Outcome ClassifyEnrollmentRun(const CommandCapture* capture);
