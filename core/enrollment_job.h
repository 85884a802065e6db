// One enrollment attempt's record, and turning the form's two texts into it.
#pragma once

#include <stddef.h>

// The main window, as the portable code sees it (an HWND on Windows).
typedef void* WindowHandle;

inline constexpr size_t kCodeCapacity = 384;     // units read from the code field
inline constexpr size_t kDistroCapacity = 80;    // units, terminator included
inline constexpr size_t kPayloadCapacity = 320;  // bytes, terminator included
inline constexpr size_t kNodeNameCapacity = 160; // decoded bytes at most

inline constexpr wchar_t kCodeMagic[] = L"qvw1|";
inline constexpr wchar_t kTokenPrefix[] = L"qvt_";
inline constexpr size_t kTokenMinLength = 20;
inline constexpr size_t kTokenMaxLength = 80;

// Allocated zero-filled by the window, owned by the worker once its thread
// exists, wiped before it is freed.
struct EnrollmentJob {
  WindowHandle owner;
  wchar_t distro[kDistroCapacity];  // empty: the WSL default distribution
  char payload[kPayloadCapacity];   // base, token and node name, one per line
};

// Decodes standard Base64 into at most `capacity` bytes; false on malformed
// input or output that does not fit.
typedef bool (*DecodeBase64Fn)(const wchar_t* text, unsigned char* out, size_t capacity,
                               size_t* decoded);
// Reads the distribution field straight into `destination` (at most
// `capacity` units, terminator included).
typedef void (*ReadDistroFn)(void* context, wchar_t* destination, size_t capacity);

enum JobRejection : unsigned { JOB_ACCEPTED, JOB_INVALID_CODE, JOB_INVALID_DISTRO };

struct JobRequest {
  WindowHandle owner;
  wchar_t* code;  // kCodeCapacity units, terminated; wiped here once parsed
  ReadDistroFn read_distro;
  void* read_distro_context;
  DecodeBase64Fn decode_base64;
};

// Fills the zero-filled `job` from the request. The distribution field is
// read only after the code has passed, so a bad code never reads it. On
// false, `rejection` says which text to show; the caller wipes and frees the
// job.
bool BuildEnrollmentJob(const JobRequest* request, EnrollmentJob* job, JobRejection* rejection);

// The characters a distribution name may hold (the form field and the
// preflight's report alike): ASCII letters, digits, '-', '.' and '_'.
bool IsDistroNameUnit(unsigned unit);
