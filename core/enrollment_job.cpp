#include "core/enrollment_job.h"

#include "core/config.h"
#include "core/text_buffer.h"
#include "core/wipe.h"

static bool IsAsciiAlnum(unsigned unit) {
  return (unit >= '0' && unit <= '9') || (unit >= 'A' && unit <= 'Z') || (unit >= 'a' && unit <= 'z');
}

// A space is refused: wsl.exe splits its options at spaces without honouring
// quotes, so a name with one could never be passed as a single argument.
bool IsDistroNameUnit(unsigned unit) {
  return IsAsciiAlnum(unit) || unit == '-' || unit == '.' || unit == '_';
}

static bool IsTokenUnit(wchar_t unit) {
  return IsAsciiAlnum(static_cast<unsigned>(unit)) || unit == L'_' || unit == L'-';
}

static bool IsAllowedBase(const wchar_t* base, size_t length) {
  for (size_t i = 0; i < kAllowedBaseCount; ++i) {
    if (WideSpanEquals(base, length, kAllowedBases[i])) return true;
  }
  return false;
}

static bool IsValidToken(const wchar_t* token, size_t length) {
  const size_t prefix = dimof(kTokenPrefix) - 1;
  if (length < kTokenMinLength || length > kTokenMaxLength) return false;
  if (!WideSpanEquals(token, prefix, kTokenPrefix)) return false;
  for (size_t i = prefix; i < length; ++i) {
    if (!IsTokenUnit(token[i])) return false;
  }
  return true;
}

// Finds the next '|' at or after `from`; false when the text ends first.
static bool FindBar(const wchar_t* text, size_t from, size_t* at) {
  for (size_t i = from; text[i] != 0; ++i) {
    if (text[i] == L'|') {
      *at = i;
      return true;
    }
  }
  return false;
}

// Decodes the optional node name; it must not hold a NUL, LF or CR byte.
static bool DecodeNodeName(const JobRequest* request, const wchar_t* field,
                           unsigned char (&name)[kNodeNameCapacity + 1], size_t* length) {
  *length = 0;
  if (field == nullptr || field[0] == 0) return true;
  if (!request->decode_base64(field, name, kNodeNameCapacity, length)) return false;
  if (*length > kNodeNameCapacity) return false;
  for (size_t i = 0; i < *length; ++i) {
    if (name[i] == 0 || name[i] == '\n' || name[i] == '\r') return false;
  }
  return true;
}

// Checks the code and formats the payload; the code buffer is not yet wiped.
static bool ParseCode(const JobRequest* request, EnrollmentJob* job) {
  wchar_t* code = request->code;
  code[kCodeCapacity - 1] = 0;
  const size_t magic = dimof(kCodeMagic) - 1;
  if (code[0] == 0) return false;
  if (!WideSpanEquals(code, magic, kCodeMagic)) return false;

  size_t base_end = 0;
  if (!FindBar(code, magic, &base_end)) return false;
  const wchar_t* base = code + magic;
  const size_t base_length = base_end - magic;

  const wchar_t* token = code + base_end + 1;
  size_t token_end = 0;
  const wchar_t* name_field = nullptr;
  size_t token_length = 0;
  if (FindBar(code, base_end + 1, &token_end)) {
    token_length = token_end - (base_end + 1);
    name_field = code + token_end + 1;
  } else {
    token_length = WideLength(token);
  }

  if (!IsAllowedBase(base, base_length)) return false;
  if (!IsValidToken(token, token_length)) return false;

  unsigned char name[kNodeNameCapacity + 1] = {};
  size_t name_length = 0;
  if (!DecodeNodeName(request, name_field, name, &name_length)) return false;

  // base LF token LF name LF, as 8-bit text; base and token are ASCII now.
  ByteWriter payload;
  ByteWriterStart(&payload, job->payload, dimof(job->payload));
  ByteWriterAppendNarrowed(&payload, base, base_length);
  ByteWriterAppendText(&payload, "\n");
  ByteWriterAppendNarrowed(&payload, token, token_length);
  ByteWriterAppendText(&payload, "\n");
  ByteWriterAppendBytes(&payload, reinterpret_cast<const char*>(name), name_length);
  ByteWriterAppendText(&payload, "\n");
  return payload.needed >= 1 && ByteWriterComplete(&payload, kPayloadCapacity - 1);
}

static bool IsValidDistroText(const wchar_t* distro) {
  for (size_t i = 0; distro[i] != 0; ++i) {
    if (!IsDistroNameUnit(static_cast<unsigned>(distro[i]))) return false;
  }
  return true;
}

bool BuildEnrollmentJob(const JobRequest* request, EnrollmentJob* job, JobRejection* rejection) {
  job->owner = request->owner;
  const bool code_ok = ParseCode(request, job);
  Wipe(request->code, kCodeCapacity * sizeof(wchar_t));
  if (!code_ok) {
    *rejection = JOB_INVALID_CODE;
    return false;
  }

  request->read_distro(request->read_distro_context, job->distro, dimof(job->distro));
  job->distro[dimof(job->distro) - 1] = 0;
  if (!IsValidDistroText(job->distro)) {
    *rejection = JOB_INVALID_DISTRO;
    return false;
  }
  *rejection = JOB_ACCEPTED;
  return true;
}
