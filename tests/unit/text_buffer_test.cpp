// The bounded writers over fixed-size buffers, at the edge of their capacity.
#include <gtest/gtest.h>

#include <string>

#include "core/text_buffer.h"
#include "tests/unit/test_support.h"

namespace {

using qvtest::Wide;

const size_t kCapacity = 8;  // units or bytes, terminator included

// ASCII letters, no two neighbours alike, so a lost or doubled one shows.
std::string Letters(size_t length) {
  std::string text;
  for (size_t i = 0; i < length; ++i) text.push_back(static_cast<char>('a' + i % 26));
  return text;
}

TEST(BoundedWriters, FillTheBufferToTheLastUnitAndCallOnlyAnUncutTextComplete) {
  struct Case {
    const char* what;
    size_t length;  // units or bytes appended
    bool complete;
  };
  const Case cases[] = {
      {"capacity - 1: fills the buffer exactly", kCapacity - 1, true},
      {"capacity: one too long", kCapacity, false},
      {"capacity + 1: two too long", kCapacity + 1, false},
  };
  // Far above every length here, so that only the capacity decides.
  const size_t max_length = 1000;
  for (const Case& c : cases) {
    const std::string text = Letters(c.length);
    // Whatever the length, the buffer ends up holding as much as fits, its
    // terminator in the last unit and the guard untouched.
    const std::string kept = text.substr(0, kCapacity - 1);

    // One guard unit past each buffer's capacity, never to be written.
    wchar_t wide[kCapacity + 1];
    for (wchar_t& unit : wide) unit = L'#';
    WideWriter wide_writer;
    WideWriterStart(&wide_writer, wide, kCapacity);
    WideWriterAppend(&wide_writer, Wide(text).c_str());
    EXPECT_EQ(c.complete, WideWriterComplete(&wide_writer, max_length)) << "wide, " << c.what;
    EXPECT_EQ(c.length, wide_writer.needed) << "wide, " << c.what;
    EXPECT_EQ(Wide(kept) + L'\0' + L'#', std::wstring(wide, kCapacity + 1)) << "wide, " << c.what;

    char bytes[kCapacity + 1];
    for (char& byte : bytes) byte = '#';
    ByteWriter byte_writer;
    ByteWriterStart(&byte_writer, bytes, kCapacity);
    ByteWriterAppendBytes(&byte_writer, text.data(), text.size());
    EXPECT_EQ(c.complete, ByteWriterComplete(&byte_writer, max_length)) << "bytes, " << c.what;
    EXPECT_EQ(c.length, byte_writer.needed) << "bytes, " << c.what;
    EXPECT_EQ(kept + '\0' + '#', std::string(bytes, kCapacity + 1)) << "bytes, " << c.what;
  }
}

}  // namespace
