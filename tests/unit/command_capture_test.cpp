// The bounded capture of a run's output, fed chunk by chunk as the pipe
// delivers it.
#include <gtest/gtest.h>

#include <string.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/unit/test_support.h"
#include "wsl/command_capture.h"

namespace {

// Non-zero bytes in a pattern whose runs do not repeat within a capture's
// length, so that a window taken at the wrong offset shows.
std::string Stream(size_t length) {
  std::string bytes;
  bytes.reserve(length);
  for (size_t i = 0; i < length; ++i) bytes.push_back(static_cast<char>(1 + (i * 7 + i / 255) % 255));
  return bytes;
}

std::string Utf16Le(const std::string& ascii) {
  std::string bytes;
  for (char c : ascii) {
    bytes.push_back(c);
    bytes.push_back('\0');
  }
  return bytes;
}

struct Sink {
  std::unique_ptr<CommandCapture> capture{new CommandCapture};
  size_t used = 0;
  // One read buffer for every chunk, as the runner has: after a short read,
  // the bytes past the chunk are left over from an earlier, longer one.
  std::vector<unsigned char> read_buffer = std::vector<unsigned char>(kReadChunkSize);

  Sink() { ClearCapture(capture.get()); }

  // A chunk larger than one pipe read is passed from where it lies.
  void Append(const std::string& chunk) {
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(chunk.data());
    if (chunk.size() <= read_buffer.size()) {
      memcpy(read_buffer.data(), chunk.data(), chunk.size());
      bytes = read_buffer.data();
    }
    AppendChunk(capture.get(), &used, bytes, chunk.size());
  }
  // Feeds `bytes` in chunks of the given sizes, repeating the last size.
  void Feed(const std::string& bytes, const std::vector<size_t>& sizes) {
    size_t at = 0;
    for (size_t n = 0; at < bytes.size(); ++n) {
      const size_t size = sizes[n < sizes.size() ? n : sizes.size() - 1];
      const size_t take = size < bytes.size() - at ? size : bytes.size() - at;
      Append(bytes.substr(at, take));
      at += take;
    }
  }
  std::string Text() const {
    // Up to the terminator, which must lie inside the buffer.
    const void* end = memchr(capture->text, 0, kCaptureCapacity);
    EXPECT_NE(nullptr, end) << "text not terminated";
    if (end == nullptr) return std::string();
    return std::string(capture->text, static_cast<const char*>(end) - capture->text);
  }
};

const std::vector<std::vector<size_t>> kChunkings = {
    {1}, {2}, {7}, {1000}, {1024}, {2047}, {2048}, {2048, 1}, {1, 2048}, {2047, 2048, 5, 1999},
};

TEST(AppendChunk, Keeps12287BytesWholeHoweverTheyAreChunked) {
  const std::string bytes = Stream(kCaptureCapacity - 1);
  for (const std::vector<size_t>& chunking : kChunkings) {
    Sink sink;
    sink.Feed(bytes, chunking);
    EXPECT_EQ(bytes.size(), sink.used) << "first chunk " << chunking[0];
    EXPECT_TRUE(sink.Text() == bytes) << "first chunk " << chunking[0];
  }
}

TEST(AppendChunk, MovesTheLast4096StoredBytesFrontWhenTheChunkReaches12288) {
  const std::string bytes = Stream(kCaptureCapacity);
  for (const std::vector<size_t>& chunking : kChunkings) {
    // Where the chunk that reaches 12288 begins, given this chunking.
    size_t stored = 0;
    for (size_t n = 0;; ++n) {
      const size_t size = chunking[n < chunking.size() ? n : chunking.size() - 1];
      if (stored + size >= bytes.size()) break;
      stored += size;
    }
    Sink sink;
    sink.Feed(bytes, chunking);
    const std::string expected = bytes.substr(stored - kCaptureKeep, kCaptureKeep) + bytes.substr(stored);
    EXPECT_EQ(expected.size(), sink.used) << "first chunk " << chunking[0];
    EXPECT_TRUE(sink.Text() == expected) << "first chunk " << chunking[0];
  }
}

TEST(AppendChunk, AlwaysHoldsTheNewestTailOfALongOutput) {
  const std::string bytes = Stream(100000);
  for (const std::vector<size_t>& chunking : kChunkings) {
    Sink sink;
    sink.Feed(bytes, chunking);
    const std::string text = sink.Text();
    EXPECT_EQ(text.size(), sink.used);
    EXPECT_GT(text.size(), kCaptureKeep);
    EXPECT_LT(text.size(), kCaptureCapacity);
    // A contiguous tail: the end of the output is always present.
    EXPECT_TRUE(text == bytes.substr(bytes.size() - text.size())) << "first chunk " << chunking[0];
  }
}

TEST(AppendChunk, DropsNulBytesSoUtf16LeTextBecomesReadable) {
  struct Case {
    const char* what;
    std::vector<std::string> chunks;
    std::string text;
  };
  const Case cases[] = {
      {"UTF-16LE QV_", {Utf16Le("QV_")}, "QV_"},
      {"UTF-16LE split between chunks", {std::string("Q\0V", 3), std::string("\0_\0", 3)}, "QV_"},
      {"8-bit output then a UTF-16LE message",
       {"QV_PREFLIGHT\n", Utf16Le("There is no distribution.\r\n")},
       "QV_PREFLIGHT\nThere is no distribution.\r\n"},
      {"a chunk of NUL bytes only", {"abc", std::string(100, '\0'), "def"}, "abcdef"},
      {"an empty chunk", {"abc", "", "def"}, "abcdef"},
      {"bytes above 0x7F are kept", {"\xE4\xB8\xAD\xFF\x80"}, "\xE4\xB8\xAD\xFF\x80"},
      // Past each of these chunks the read buffer still holds bytes of an earlier one.
      {"short reads after a longer one", {"QV_PREFLIGHT\n", "ok\n", "!"}, "QV_PREFLIGHT\nok\n!"},
      {"a UTF-16LE read after a longer one", {"QV_PREFLIGHT\n", Utf16Le("ok")}, "QV_PREFLIGHT\nok"},
  };
  for (const Case& c : cases) {
    Sink sink;
    for (const std::string& chunk : c.chunks) sink.Append(chunk);
    EXPECT_EQ(c.text, sink.Text()) << c.what;
    EXPECT_EQ(c.text.size(), sink.used) << c.what;
  }
}

TEST(AppendChunk, CountsNulBytesWhenDecidingToMove) {
  const std::string head = Stream(11000);
  struct Case {
    const char* what;
    std::string chunk;
    bool moves;
  };
  const Case cases[] = {
      // 11000 + 1288 raw bytes reach 12288 though only 644 would be stored.
      {"UTF-16LE chunk reaching 12288", Utf16Le(std::string(644, 'w')), true},
      {"UTF-16LE chunk stopping at 12286", Utf16Le(std::string(643, 'w')), false},
      {"chunk of NUL bytes reaching 12288", std::string(1288, '\0'), true},
      {"chunk of NUL bytes stopping at 12287", std::string(1287, '\0'), false},
  };
  for (const Case& c : cases) {
    Sink sink;
    sink.Feed(head, {2000});
    ASSERT_EQ(head.size(), sink.used);
    sink.Append(c.chunk);
    std::string stored;
    for (char byte : c.chunk) {
      if (byte != 0) stored.push_back(byte);
    }
    const std::string expected = (c.moves ? head.substr(head.size() - kCaptureKeep) : head) + stored;
    EXPECT_TRUE(sink.Text() == expected) << c.what;
    EXPECT_EQ(expected.size(), sink.used) << c.what;
  }
}

TEST(AppendChunk, NeverWritesPastTheCaptureForOversizedChunks) {
  struct Case {
    size_t before;
    size_t chunk;
  };
  const Case cases[] = {{0, 12288}, {0, 20000}, {5000, 9000}, {12000, 12288}, {100, 4096}};
  for (const Case& c : cases) {
    Sink sink;
    sink.Feed(Stream(c.before), {2048});
    sink.Append(std::string(c.chunk, 'z'));
    const std::string text = sink.Text();
    EXPECT_EQ(text.size(), sink.used);
    EXPECT_LT(text.size(), kCaptureCapacity);
    EXPECT_EQ('z', text.back());
  }
}

TEST(ClearCapture, ZeroesTheExitCodeAndTheWholeText) {
  std::unique_ptr<CommandCapture> capture(new CommandCapture);
  memset(capture.get(), 0x5A, sizeof *capture);
  ClearCapture(capture.get());
  EXPECT_EQ(0u, capture->exit_code);
  EXPECT_TRUE(qvtest::AllZero(capture->text, sizeof capture->text));
}

}  // namespace
