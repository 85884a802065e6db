// Small helpers shared by the unit tests: ASCII conversions between the
// wide and 8-bit worlds, a reference Base64 encoder and captures built from
// plain strings.
#pragma once

#include <stddef.h>
#include <string.h>

#include <string>

#include "wsl/command_capture.h"

namespace qvtest {

// Widens 8-bit text one byte to one unit (the tests only widen ASCII).
inline std::wstring Wide(const std::string& text) {
  std::wstring wide;
  for (unsigned char byte : text) wide.push_back(static_cast<wchar_t>(byte));
  return wide;
}

// Narrows ASCII wide text; anything else becomes '?', so a stray unit shows
// up in a comparison instead of being silently truncated.
inline std::string Narrow(const wchar_t* text) {
  std::string narrow;
  for (size_t i = 0; text[i] != 0; ++i) {
    const unsigned unit = static_cast<unsigned>(text[i]);
    narrow.push_back(unit < 0x80 ? static_cast<char>(unit) : '?');
  }
  return narrow;
}

// Standard Base64 with '=' padding, written independently of the product's
// decoder so that the two can check each other.
inline std::string Base64Encode(const std::string& bytes) {
  static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const unsigned group = (static_cast<unsigned char>(bytes[i]) << 16) |
                           (static_cast<unsigned char>(bytes[i + 1]) << 8) |
                           static_cast<unsigned char>(bytes[i + 2]);
    out.push_back(kAlphabet[(group >> 18) & 63]);
    out.push_back(kAlphabet[(group >> 12) & 63]);
    out.push_back(kAlphabet[(group >> 6) & 63]);
    out.push_back(kAlphabet[group & 63]);
  }
  const size_t rest = bytes.size() - i;
  if (rest == 1) {
    const unsigned group = static_cast<unsigned char>(bytes[i]) << 16;
    out.push_back(kAlphabet[(group >> 18) & 63]);
    out.push_back(kAlphabet[(group >> 12) & 63]);
    out += "==";
  } else if (rest == 2) {
    const unsigned group = (static_cast<unsigned char>(bytes[i]) << 16) |
                           (static_cast<unsigned char>(bytes[i + 1]) << 8);
    out.push_back(kAlphabet[(group >> 18) & 63]);
    out.push_back(kAlphabet[(group >> 12) & 63]);
    out.push_back(kAlphabet[(group >> 6) & 63]);
    out.push_back('=');
  }
  return out;
}

// A capture holding `text` (at most 12287 bytes) and an exit code, laid out
// as the runner leaves it: terminated, the rest of the buffer zero.
inline void FillCapture(CommandCapture* capture, const std::string& text, uint32_t exit_code = 0) {
  ClearCapture(capture);
  capture->exit_code = exit_code;
  const size_t length = text.size() < kCaptureCapacity - 1 ? text.size() : kCaptureCapacity - 1;
  memcpy(capture->text, text.data(), length);
}

inline bool AllZero(const void* memory, size_t length) {
  const unsigned char* bytes = static_cast<const unsigned char*>(memory);
  for (size_t i = 0; i < length; ++i) {
    if (bytes[i] != 0) return false;
  }
  return true;
}

}  // namespace qvtest
