// What a run of wsl.exe wrote, bounded: the newest output always survives,
// the oldest is dropped when it would overflow.
#pragma once

#include <stddef.h>
#include <stdint.h>

inline constexpr size_t kCaptureCapacity = 12288;  // bytes, terminator included
inline constexpr size_t kCaptureKeep = 4096;       // bytes kept when the text would overflow
inline constexpr size_t kReadChunkSize = 2048;     // bytes per pipe read

struct CommandCapture {
  uint32_t exit_code;
  char text[kCaptureCapacity];  // 8-bit, NUL-terminated, NUL bytes of the output dropped
};

// Zeroes the exit code and the whole text.
void ClearCapture(CommandCapture* capture);

// Appends one chunk of raw output. When the bytes stored so far plus the
// chunk's raw length (its NUL bytes included) reach the capacity, the last
// 4096 stored bytes first move to the front. NUL bytes are then dropped,
// which turns wsl.exe's own UTF-16LE messages into readable 8-bit text and
// leaves the scripts' 8-bit output as it is. `used` is the caller's count of
// stored bytes, starting at 0 after ClearCapture.
void AppendChunk(CommandCapture* capture, size_t* used, const unsigned char* bytes, size_t count);
