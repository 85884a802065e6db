// Standard Base64 (A-Z a-z 0-9 + /, '=' padding), for builds that have no
// platform decoder. The Windows build decodes with CryptStringToBinaryW.
#pragma once

#include <stddef.h>

// Whole quartets only, padding only at the end; false when the output would
// exceed `capacity` bytes.
bool DecodeBase64Portable(const wchar_t* text, unsigned char* out, size_t capacity, size_t* decoded);
