#include "wsl/command_capture.h"

#include <string.h>

void ClearCapture(CommandCapture* capture) {
  memset(capture, 0, sizeof *capture);
}

void AppendChunk(CommandCapture* capture, size_t* used, const unsigned char* bytes, size_t count) {
  size_t length = *used < kCaptureCapacity ? *used : kCaptureCapacity - 1;
  if (length + count >= kCaptureCapacity) {
    const size_t keep = length < kCaptureKeep ? length : kCaptureKeep;
    memmove(capture->text, capture->text + (length - keep), keep);
    length = keep;
  }
  // A chunk larger than the room left after the move (never one pipe read)
  // keeps its head and loses the rest rather than overflow.
  for (size_t i = 0; i < count && length < kCaptureCapacity - 1; ++i) {
    if (bytes[i] != 0) capture->text[length++] = static_cast<char>(bytes[i]);
  }
  capture->text[length] = 0;
  *used = length;
}
