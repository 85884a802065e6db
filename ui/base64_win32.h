// Base64 decoding of the node name with the system's decoder.
#pragma once

#include <stddef.h>

// CryptStringToBinaryW with CRYPT_STRING_BASE64 from crypt32, loaded from
// System32 when needed. A crypt32 that cannot be loaded counts as a failed
// decoding, so the code is refused rather than anything crashing.
bool DecodeBase64Win32(const wchar_t* text, unsigned char* out, size_t capacity, size_t* decoded);
