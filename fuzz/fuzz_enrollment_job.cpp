// Arbitrary code and distribution texts through the job builder. The input
// is read as 16-bit units (so non-ASCII and surrogates occur too); the first
// unit 0xFFFF, if any, separates the code from the distribution text.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "core/base64.h"
#include "core/enrollment_job.h"

namespace {

struct DistroSource {
  const wchar_t* text;
  bool read;
};

void ReadDistro(void* context, wchar_t* destination, size_t capacity) {
  DistroSource* source = static_cast<DistroSource*>(context);
  source->read = true;
  size_t i = 0;
  for (; i + 1 < capacity && source->text[i] != 0; ++i) destination[i] = source->text[i];
  destination[i] = 0;
}

void Check(bool condition) {
  if (!condition) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  wchar_t code[kCodeCapacity] = {};
  wchar_t distro[200] = {};
  size_t code_length = 0;
  size_t distro_length = 0;
  bool in_distro = false;
  for (size_t at = 0; at + 1 < size; at += 2) {
    const wchar_t unit = static_cast<wchar_t>(data[at] | (data[at + 1] << 8));
    if (unit == 0) continue;  // the fields hold no NUL
    if (unit == 0xFFFF && !in_distro) {
      in_distro = true;
      continue;
    }
    if (!in_distro && code_length < kCodeCapacity - 1) code[code_length++] = unit;
    if (in_distro && distro_length < 199) distro[distro_length++] = unit;
  }

  EnrollmentJob job = {};
  DistroSource source = {distro, false};
  const JobRequest request = {nullptr, code, ReadDistro, &source, DecodeBase64Portable};
  JobRejection rejection = JOB_ACCEPTED;
  const bool accepted = BuildEnrollmentJob(&request, &job, &rejection);

  // The code buffer never keeps the code.
  for (size_t i = 0; i < kCodeCapacity; ++i) Check(code[i] == 0);
  // A rejected code never reads the distribution field.
  if (rejection == JOB_INVALID_CODE) Check(!source.read && !accepted);
  if (!accepted) return 0;

  // An accepted job: a terminated payload of three lines with 1 to 319
  // bytes, and a distro of distribution-name characters only.
  const size_t payload_length = strnlen(job.payload, kPayloadCapacity);
  Check(payload_length >= 1 && payload_length < kPayloadCapacity);
  size_t line_feeds = 0;
  for (size_t i = 0; i < payload_length; ++i) line_feeds += job.payload[i] == '\n';
  Check(line_feeds == 3 && job.payload[payload_length - 1] == '\n');
  Check(memcmp(job.payload, "http", 4) == 0);
  size_t i = 0;
  for (; i < kDistroCapacity && job.distro[i] != 0; ++i) Check(IsDistroNameUnit(static_cast<unsigned>(job.distro[i])));
  Check(i < kDistroCapacity);
  return 0;
}
