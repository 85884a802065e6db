// Arbitrary output of a script run through the readers of its report.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "core/probe_report.h"

namespace {

void Check(bool condition) {
  if (!condition) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static CommandCapture capture;
  ClearCapture(&capture);
  size_t used = 0;
  for (size_t at = 0; at < size; at += kReadChunkSize) {
    const size_t count = size - at < kReadChunkSize ? size - at : kReadChunkSize;
    AppendChunk(&capture, &used, data + at, count);
  }

  char user[kUserNameCapacity];
  memset(user, 'x', sizeof user);
  if (ReadUser(&capture, user)) {
    const size_t length = strnlen(user, sizeof user);
    Check(length >= 1 && length < sizeof user && user[0] != '-');
    Check(strstr(capture.text, "QV_USER=") != nullptr);
  }

  EnrollmentJob job = {};
  if (ReadDistribution(&job, &capture)) {
    size_t length = 0;
    while (length < kDistroCapacity && job.distro[length] != 0) {
      Check(IsDistroNameUnit(static_cast<unsigned>(job.distro[length])));
      ++length;
    }
    Check(length >= 1 && length < kDistroCapacity);
  }

  // A distro the user chose is never overwritten.
  EnrollmentJob chosen = {};
  chosen.distro[0] = L'U';
  Check(ReadDistribution(&chosen, &capture) && chosen.distro[0] == L'U' && chosen.distro[1] == 0);

  const Outcome outcome = ClassifyEnrollmentRun(&capture);
  Check(outcome == E_WSL_VERSION || outcome == E_PREREQUISITE || outcome == E_DOCKER_NOT_READY ||
        outcome == E_DOWNLOAD || outcome == E_TOKEN || outcome == E_INSTALL);
  Check(HasMarker(&capture, "QV_WSL_NOT_2") == (strstr(capture.text, "QV_WSL_NOT_2") != nullptr));
  return 0;
}
