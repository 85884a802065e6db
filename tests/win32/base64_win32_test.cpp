// The node name decoded by the system's decoder: the same acceptance as
// the portable one where both must agree, and crypt32 taken from System32.
#include <gtest/gtest.h>
#include <windows.h>

#include <string.h>

#include <string>

#include "core/base64.h"
#include "ui/base64_win32.h"

namespace {

struct DecodeCase {
  const char* name;
  std::wstring text;
  bool accepted;
  std::string bytes;
};

std::wstring Repeat(const wchar_t* quartet, size_t times) {
  std::wstring text;
  for (size_t i = 0; i < times; ++i) text += quartet;
  return text;
}

std::string Narrow(const std::wstring& ascii) {
  return std::string(ascii.begin(), ascii.end());
}

TEST(DecodeBase64Win32, AgreesWithThePortableDecoderOnWhatBothMustAcceptOrRefuse) {
  const DecodeCase cases[] = {
      {"padded twice", L"bm9kZQ==", true, "node"},
      {"padded once", L"bm9kZS0=", true, "node-"},
      {"unpadded quartets", L"bm9kZS0x", true, "node-1"},
      {"UTF-8 Chinese", L"6IqC54K55LiA5Y+3", true, "\xe8\x8a\x82\xe7\x82\xb9\xe4\xb8\x80\xe5\x8f\xb7"},
      {"160 bytes fit", Repeat(L"QUJD", 53) + L"QQ==", true, Narrow(Repeat(L"ABC", 53)) + "A"},
      {"161 bytes do not", Repeat(L"QUJD", 53) + L"QUI=", false, ""},
      {"a character outside the alphabet", L"bm9k*Q==", false, ""},
      {"URL-safe alphabet", L"bm9k_Q==", false, ""},
  };
  for (const DecodeCase& c : cases) {
    SCOPED_TRACE(c.name);
    for (bool system : {true, false}) {
      SCOPED_TRACE(system ? "crypt32" : "portable");
      unsigned char out[160];
      memset(out, 0xAA, sizeof out);
      size_t decoded = 12345;
      const bool ok = system ? DecodeBase64Win32(c.text.c_str(), out, sizeof out, &decoded)
                             : DecodeBase64Portable(c.text.c_str(), out, sizeof out, &decoded);
      EXPECT_EQ(c.accepted, ok);
      if (ok) {
        EXPECT_EQ(c.bytes, std::string(reinterpret_cast<const char*>(out), decoded));
      }
    }
  }
}

TEST(DecodeBase64Win32, LeavesNoCrypt32LoadedBehind) {
  unsigned char out[16];
  size_t decoded = 0;
  ASSERT_TRUE(DecodeBase64Win32(L"bm9kZQ==", out, sizeof out, &decoded));
  EXPECT_EQ(nullptr, GetModuleHandleW(L"crypt32.dll"));
}

}  // namespace
