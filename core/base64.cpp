#include "core/base64.h"

#include "core/text_buffer.h"

static int SextetOf(wchar_t unit) {
  if (unit >= L'A' && unit <= L'Z') return unit - L'A';
  if (unit >= L'a' && unit <= L'z') return unit - L'a' + 26;
  if (unit >= L'0' && unit <= L'9') return unit - L'0' + 52;
  if (unit == L'+') return 62;
  if (unit == L'/') return 63;
  return -1;
}

bool DecodeBase64Portable(const wchar_t* text, unsigned char* out, size_t capacity, size_t* decoded) {
  const size_t length = WideLength(text);
  *decoded = 0;
  if (length == 0 || length % 4 != 0) return false;

  size_t written = 0;
  for (size_t at = 0; at < length; at += 4) {
    const bool last = at + 4 == length;
    int sextets[4];
    size_t padding = 0;
    for (size_t i = 0; i < 4; ++i) {
      const wchar_t unit = text[at + i];
      if (unit == L'=' && last && i >= 2) {
        sextets[i] = 0;
        ++padding;
        continue;
      }
      if (padding > 0) return false;  // data after '='
      sextets[i] = SextetOf(unit);
      if (sextets[i] < 0) return false;
    }
    const unsigned long group = (static_cast<unsigned long>(sextets[0]) << 18) |
                                (static_cast<unsigned long>(sextets[1]) << 12) |
                                (static_cast<unsigned long>(sextets[2]) << 6) |
                                static_cast<unsigned long>(sextets[3]);
    const size_t bytes = 3 - padding;
    if (written + bytes > capacity) return false;
    for (size_t i = 0; i < bytes; ++i) {
      out[written++] = static_cast<unsigned char>((group >> (16 - 8 * i)) & 0xFF);
    }
  }
  *decoded = written;
  return true;
}
