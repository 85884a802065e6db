// The worker thread: one enrollment attempt, carried out with the Win32
// operations.
#pragma once

#include <windows.h>

#include "core/enrollment_job.h"

// Thread entry; `parameter` is the EnrollmentJob, which the thread now owns.
DWORD WINAPI EnrollmentWorkerThread(LPVOID parameter);

// Wipes the job and returns it to the process heap.
void ReleaseJob(EnrollmentJob* job);
