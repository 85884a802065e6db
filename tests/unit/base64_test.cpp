// The Base64 decoder used where the platform offers none.
#include <gtest/gtest.h>

#include <string>

#include "core/base64.h"
#include "tests/unit/test_support.h"

namespace {

using qvtest::Base64Encode;
using qvtest::Wide;

struct DecodeResult {
  bool ok;
  std::string bytes;
  size_t decoded;
};

// Decodes into a buffer larger than `capacity`, filled with a guard byte, so
// that a write past the capacity shows up.
DecodeResult Decode(const std::wstring& text, size_t capacity) {
  unsigned char out[512];
  memset(out, 0xA5, sizeof out);
  size_t decoded = 12345;
  DecodeResult result;
  result.ok = DecodeBase64Portable(text.c_str(), out, capacity, &decoded);
  result.decoded = decoded;
  if (result.ok) result.bytes.assign(reinterpret_cast<const char*>(out), decoded);
  for (size_t i = capacity; i < sizeof out; ++i) {
    EXPECT_EQ(0xA5, out[i]) << "byte " << i << " written past the capacity of " << capacity;
  }
  return result;
}

struct ValidCase {
  const wchar_t* text;
  std::string bytes;
};

TEST(Base64Decoder, DecodesPaddedInputsToTheirBytes) {
  const ValidCase cases[] = {
      {L"TWFu", "Man"},
      {L"TWE=", "Ma"},
      {L"TQ==", "M"},
      {L"bm9kZS0x", "node-1"},
      {L"AAAA", std::string(3, '\0')},
      {L"////", "\xFF\xFF\xFF"},
      {L"+++/", "\xFB\xEF\xBF"},
      {L"5Li75py6", "\xE4\xB8\xBB\xE6\x9C\xBA"},
  };
  for (const ValidCase& c : cases) {
    const DecodeResult result = Decode(c.text, 160);
    EXPECT_TRUE(result.ok) << qvtest::Narrow(c.text);
    EXPECT_EQ(c.bytes, result.bytes) << qvtest::Narrow(c.text);
    EXPECT_EQ(c.bytes.size(), result.decoded) << qvtest::Narrow(c.text);
  }
}

TEST(Base64Decoder, RoundTripsEveryByteValueAtEveryPaddingLength) {
  std::string all;
  for (int value = 0; value < 256; ++value) all.push_back(static_cast<char>(value));
  // 256, 255 and 254 bytes: no padding is needed for 255, one '=' for 254,
  // two for 256.
  for (size_t length : {size_t{254}, size_t{255}, size_t{256}}) {
    const std::string bytes = all.substr(0, length);
    const DecodeResult result = Decode(Wide(Base64Encode(bytes)), 300);
    ASSERT_TRUE(result.ok) << length;
    EXPECT_EQ(bytes, result.bytes) << length;
  }
}

TEST(Base64Decoder, RefusesMalformedInput) {
  const wchar_t* const cases[] = {
      L"",          // nothing to decode
      L"TWF",       // not a whole quartet
      L"TQ",        // missing padding is not tolerated
      L"TWFuT",     // a stray unit after a whole quartet
      L"TW-u",      // URL-safe alphabet is not standard Base64
      L"TW_u",
      L"TWF!",
      L"TW u",      // whitespace inside a quartet
      L"TWFu\n",
      L"TW\u00C1u",   // a non-ASCII letter
      L"TW\u0141u",   // a unit whose low byte is 'A'
      L"TW\uFF21u",   // fullwidth 'A'
      L"=TWF",      // padding first
      L"T===",      // three padding units
      L"TQ=a",      // data after padding
      L"TQ==TWFu",  // padding before the last quartet
      L"TWE=TWE=",
      L"====",
  };
  for (const wchar_t* text : cases) {
    EXPECT_FALSE(Decode(text, 160).ok) << qvtest::Narrow(text);
  }
}

TEST(Base64Decoder, RefusesOutputOneByteOverTheCapacity) {
  struct Case {
    size_t bytes;
    size_t capacity;
    bool fits;
  };
  const Case cases[] = {
      {3, 3, true},     {3, 2, false},     {1, 1, true},    {1, 0, false},
      {2, 2, true},     {2, 1, false},     {160, 160, true}, {161, 160, false},
      {159, 160, true}, {162, 160, false}, {6, 5, false},
  };
  for (const Case& c : cases) {
    std::string bytes;
    for (size_t i = 0; i < c.bytes; ++i) bytes.push_back(static_cast<char>('a' + i % 26));
    const DecodeResult result = Decode(Wide(Base64Encode(bytes)), c.capacity);
    EXPECT_EQ(c.fits, result.ok) << c.bytes << " bytes into " << c.capacity;
    if (c.fits) {
      EXPECT_EQ(bytes, result.bytes);
    }
  }
}

}  // namespace
