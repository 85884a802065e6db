// Arbitrary chunk sequences through the capture rule, checked against a
// plain model of it and its invariants: never more than 12287 bytes,
// always terminated, no NUL stored.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "wsl/command_capture.h"

namespace {

void Check(bool condition) {
  if (!condition) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static CommandCapture capture;
  ClearCapture(&capture);
  size_t used = 0;
  std::string model;
  size_t at = 0;
  while (at + 2 <= size) {
    // Two bytes of chunk length (up to one pipe read), then the chunk.
    size_t count = (data[at] | (data[at + 1] << 8)) % (kReadChunkSize + 1);
    at += 2;
    if (count > size - at) count = size - at;
    const uint8_t* chunk = data + at;
    at += count;

    if (model.size() + count >= kCaptureCapacity) model = model.substr(model.size() - kCaptureKeep);
    for (size_t i = 0; i < count; ++i) {
      if (chunk[i] != 0) model += static_cast<char>(chunk[i]);
    }
    AppendChunk(&capture, &used, chunk, count);

    Check(used <= kCaptureCapacity - 1);
    Check(capture.text[used] == 0);
    Check(strlen(capture.text) == used);
    Check(model.size() == used && memcmp(model.data(), capture.text, used) == 0);
  }
  return 0;
}
