// The byte stream the stand-in wsl.exe writes for "pattern": printable, no
// NUL, and scrambled by offset, so a capture that kept the wrong stretch of
// a long output does not compare equal to the stretch it should have kept.
#pragma once

#include <stddef.h>
#include <stdint.h>

inline unsigned char PatternByte(size_t offset) {
  const uint32_t mixed = static_cast<uint32_t>(offset) * 2654435761u;
  return static_cast<unsigned char>('!' + (mixed >> 16) % 94);
}
