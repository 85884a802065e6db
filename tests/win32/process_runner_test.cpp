// The runner against a stand-in wsl.exe of ours that does what the script
// on its command line says (tools/fake_wsl.cpp lists the statements).

#include <string.h>

#include <windows.h>
#include <winternl.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "handle_count.h"
#include "tools/output_pattern.h"
#include "win32_test_support.h"
#include "wsl/process_runner.h"
#include "wsl/scripts.h"

namespace {

std::string Pattern(size_t count) {
  std::string bytes(count, '\0');
  for (size_t i = 0; i < count; ++i) bytes[i] = static_cast<char>(PatternByte(i));
  return bytes;
}

std::wstring Decimal(size_t value) {
  return std::to_wstring(value);
}

bool RunFake(const std::wstring& script, const char* payload, CommandCapture* capture) {
  return RunWsl(FakeWslPath().c_str(), L"", kNoExtraArguments, script.c_str(), payload, capture);
}

// A capture that no run could have produced, to tell what a run rewrote.
void Scribble(CommandCapture* capture) {
  capture->exit_code = 0x5A5A5A5A;
  memset(capture->text, 'Z', sizeof capture->text - 1);
  capture->text[sizeof capture->text - 1] = 0;
}

bool AllZero(const CommandCapture& capture) {
  if (capture.exit_code != 0) return false;
  for (char byte : capture.text) {
    if (byte != 0) return false;
  }
  return true;
}

// After the capture has overflowed, it holds a stretch of the output's end:
// at least the 4096 bytes kept by the move and one new byte, at most
// `longest` bytes.
void ExpectTailOf(const std::string& output, const CommandCapture& capture, size_t longest) {
  const std::string text = capture.text;
  ASSERT_GE(text.size(), kCaptureKeep + 1);
  ASSERT_LE(text.size(), longest);
  EXPECT_TRUE(output.compare(output.size() - text.size(), text.size(), text) == 0)
      << "the capture is not the last " << text.size() << " bytes of the output";
}

struct WholeOutputCase {
  size_t total;
  size_t write_size;
};

TEST(RunWsl, KeepsEveryByteOfAnOutputOfUpTo12287BytesHoweverTheChildSplitsIt) {
  const WholeOutputCase cases[] = {
      {0, 1},         {1, 1},         {2048, 2048},   {2049, 2048},   {12287, 12287},
      {12287, 2048},  {12287, 2047},  {12287, 2049},  {12287, 4096},  {12287, 1},
  };
  for (const WholeOutputCase& c : cases) {
    SCOPED_TRACE(testing::Message() << c.total << " bytes in writes of " << c.write_size);
    CommandCapture capture;
    Scribble(&capture);
    const std::wstring script = L"pattern " + Decimal(c.total) + L" " + Decimal(c.write_size);
    ASSERT_TRUE(RunFake(script, nullptr, &capture));
    EXPECT_EQ(0u, capture.exit_code);
    EXPECT_EQ(Pattern(c.total), std::string(capture.text));
  }
}

struct TailCase {
  size_t total;
  size_t write_size;
  size_t longest_tail;  // the first move keeps 4096 bytes and adds one read of at most 2048
};

TEST(RunWsl, KeepsTheEndOfAnOutputThatReaches12288Bytes) {
  const TailCase cases[] = {
      {12288, 12288, kCaptureKeep + kReadChunkSize}, {12288, 1, kCaptureKeep + kReadChunkSize},
      {12288, 2048, kCaptureKeep + kReadChunkSize},  {12288, 6143, kCaptureKeep + kReadChunkSize},
      {12289, 2047, kCaptureCapacity - 1},           {30000, 4093, kCaptureCapacity - 1},
      {100000, 65536, kCaptureCapacity - 1},
  };
  for (const TailCase& c : cases) {
    SCOPED_TRACE(testing::Message() << c.total << " bytes in writes of " << c.write_size);
    CommandCapture capture;
    const std::wstring script = L"pattern " + Decimal(c.total) + L" " + Decimal(c.write_size) + L"; exit 3";
    ASSERT_TRUE(RunFake(script, nullptr, &capture));
    EXPECT_EQ(3u, capture.exit_code);
    ExpectTailOf(Pattern(c.total), capture, c.longest_tail);
  }
}

TEST(RunWsl, DrainsAChildThatWritesMegabytesAndKeepsTheEndOfItsOutput) {
  const struct {
    const wchar_t* stream;
    size_t total;
    size_t write_size;
  } cases[] = {
      {L"stdout", 4u << 20, 65536},
      {L"stderr", 3000000, 4093},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.total << " bytes on " << testing::PrintToString(std::wstring(c.stream)));
    CommandCapture capture;
    const std::wstring script =
        std::wstring(c.stream) + L"; pattern " + Decimal(c.total) + L" " + Decimal(c.write_size) + L"; exit 0";
    ASSERT_TRUE(RunFake(script, nullptr, &capture));
    EXPECT_EQ(0u, capture.exit_code);
    ExpectTailOf(Pattern(c.total), capture, kCaptureCapacity - 1);
  }
}

TEST(RunWsl, DropsTheNulBytesOfUtf16LeAndOtherOutput) {
  const struct {
    const char* name;
    std::wstring script;
    std::string expected;
  } cases[] = {
      {"UTF-16LE marker", Utf16LeHexStatement(L"QV_"), "QV_"},
      {"UTF-16LE distribution list", Utf16LeHexStatement(L"Ubuntu\r\ndocker-desktop\r\n"),
       "Ubuntu\r\ndocker-desktop\r\n"},
      {"NULs among 8-bit bytes", L"hex 00410000420043ff00", "ABC\xff"},
      {"nothing but NULs", L"hex 000000000000", ""},
      {"8-bit text and UTF-16LE after it", L"hex 51565f4f4b0a; " + Utf16LeHexStatement(L"Error code: x"),
       "QV_OK\nError code: x"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    CommandCapture capture;
    ASSERT_TRUE(RunFake(c.script, nullptr, &capture));
    EXPECT_EQ(c.expected, std::string(capture.text));
  }
}

TEST(RunWsl, CapturesALongUtf16LeOutputAsTheEndOfItsText) {
  // 20000 units: 40000 bytes on the pipe, 20000 once the NULs are gone.
  CommandCapture capture;
  ASSERT_TRUE(RunFake(L"widepattern 20000 3001", nullptr, &capture));
  ExpectTailOf(Pattern(20000), capture, kCaptureCapacity - 1);
}

TEST(RunWsl, InterleavesStandardErrorWithStandardOutputInTheOrderWritten) {
  CommandCapture capture;
  ASSERT_TRUE(RunFake(L"hex 41; stderr; hex 42; stdout; hex 43; stderr; hex 44", nullptr, &capture));
  EXPECT_STREQ("ABCD", capture.text);
}

// A 319-byte payload, the longest an enrollment code gives, with 8-bit
// bytes, carriage returns and tabs in it.
std::string LongestPayload() {
  std::string payload = "https://www.quenvale.com\nqvt_0123456789abcdefghijABCDEFGHIJ\n\xe8\x8a\x82\xe7\x82\xb9\t\r";
  while (payload.size() < 318) payload += static_cast<char>('a' + payload.size() % 26);
  return payload + "\n";
}

TEST(RunWsl, FeedsThePayloadToTheChildsStandardInputAndClosesIt) {
  const std::string longest = LongestPayload();
  ASSERT_EQ(319u, longest.size());
  const struct {
    const char* name;
    const char* payload;
    std::string expected;
  } cases[] = {
      {"no payload", nullptr, "[]"},
      {"an empty payload", "", "[]"},
      {"an enrollment payload", "https://quenvale.com\nqvt_abcdefghijklmnopqrstuv\nnode-7\n",
       "[https://quenvale.com\nqvt_abcdefghijklmnopqrstuv\nnode-7\n]"},
      {"the dependency input", "alice\n1\ninstall\n", "[alice\n1\ninstall\n]"},
      {"the longest payload", longest.c_str(), "[" + longest + "]"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    CommandCapture capture;
    // The child copies its input until end of input: a run that left the
    // input open would never end.
    ASSERT_TRUE(RunFake(L"hex 5b; echo; hex 5d; exit 9", c.payload, &capture));
    EXPECT_EQ(9u, capture.exit_code);
    EXPECT_EQ(c.expected, std::string(capture.text));
  }
}

TEST(RunWsl, CapturesAChildThatEndsWithoutReadingItsInput) {
  // The pipe may accept a small payload before the child is gone, so only
  // the capture is certain.
  CommandCapture capture;
  RunFake(L"hex 6279650a; exit 5", "https://quenvale.com\nqvt_abcdefghijklmnopqrstuv\n\n", &capture);
  EXPECT_EQ(5u, capture.exit_code);
  EXPECT_STREQ("bye\n", capture.text);
}

TEST(RunWsl, FailsWhenThePayloadCannotBeWrittenInFullButStillCapturesTheChild) {
  // Far more than a pipe holds, to a child that never reads: the write ends
  // with the child, short.
  const std::string payload(4u << 20, 'p');
  CommandCapture capture;
  EXPECT_FALSE(RunFake(L"hex 6279650a; exit 5", payload.c_str(), &capture));
  EXPECT_EQ(5u, capture.exit_code);
  EXPECT_STREQ("bye\n", capture.text);
}

TEST(RunWsl, PassesTheChildsExitCodeThroughUnjudged) {
  const DWORD codes[] = {0, 1, 11, 13, 255, 256, 259, 1641, 3010, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFE, 0xFFFFFFFF};
  for (DWORD code : codes) {
    SCOPED_TRACE(testing::Message() << "exit code " << code);
    CommandCapture capture;
    Scribble(&capture);
    ASSERT_TRUE(RunFake(L"hex 2e; exit " + Decimal(code), nullptr, &capture));
    EXPECT_EQ(code, capture.exit_code);
    EXPECT_STREQ(".", capture.text);
  }
}

// The script form without distribution or extra arguments:
// "wsl.exe", two spaces, --exec sh -c, a space and the script in quotes.
constexpr size_t kScriptFormOverhead = sizeof "\"wsl.exe\"  --exec sh -c \"\"" - 1;

TEST(RunWsl, RefusesACommandLineOver3999UnitsWithoutStartingAnything) {
  const struct {
    size_t length;  // units of the whole command line
    bool runs;
  } cases[] = {
      {3999, true},
      {4000, false},
      {4001, false},
      {7000, false},
  };
  ScratchFolder folder(L"runner-refusal");
  ASSERT_FALSE(folder.path().empty());
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.length << " units");
    const std::wstring marker = folder / (L"started-" + Decimal(c.length));
    std::wstring script = L"touch " + marker + L"; exit 21; rem ";
    ASSERT_LT(script.size() + kScriptFormOverhead, c.length);
    script.append(c.length - kScriptFormOverhead - script.size(), L'x');

    CommandCapture capture;
    Scribble(&capture);
    CommandCapture before = capture;
    EXPECT_EQ(c.runs, RunFake(script, nullptr, &capture));
    EXPECT_EQ(c.runs, PathExists(marker));
    if (c.runs) {
      EXPECT_EQ(21u, capture.exit_code);
    } else {
      // Nothing ran, so nothing was cleared either.
      EXPECT_EQ(0, memcmp(&before, &capture, sizeof capture));
    }
  }
}

std::wstring DecodeHexUnits(const std::string& hex) {
  std::wstring units;
  for (size_t i = 0; i + 4 <= hex.size(); i += 4) {
    units += static_cast<wchar_t>(std::stoul(hex.substr(i, 4), nullptr, 16));
  }
  return units;
}

TEST(RunWsl, StartsTheChildWithExactlyTheCommandLineBuiltForTheRun) {
  // The stand-in takes its script from the environment here, so that the
  // product's own scripts can travel on the command line.
  ScopedVariable script(L"FAKE_WSL_SCRIPT");
  script.Set(L"argv");
  const struct {
    const wchar_t* distro;
    const wchar_t* extra;
    const wchar_t* script;
  } cases[] = {
      {L"", kNoExtraArguments, kPreflightScript},
      {L"Ubuntu", kNoExtraArguments, kPreflightScript},
      {L"Ubuntu-22.04", kUserRootArguments, kDependencyScript},
      {L"", kNoExtraArguments, kEnrollmentScript},
      {L"", kListQuietArguments, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "distro " << testing::PrintToString(std::wstring(c.distro)) << ", extra "
                                    << testing::PrintToString(std::wstring(c.extra)));
    wchar_t expected[kCommandLineCapacity];
    ASSERT_TRUE(BuildCommandLine(c.distro, c.extra, c.script, expected));
    CommandCapture capture;
    ASSERT_TRUE(RunWsl(FakeWslPath().c_str(), c.distro, c.extra, c.script, nullptr, &capture));
    ASSERT_EQ(0u, capture.exit_code) << capture.text;
    EXPECT_EQ(std::wstring(expected), DecodeHexUnits(capture.text));
  }
  // The program's first word is the bare name, whatever path it runs from.
  CommandCapture capture;
  ASSERT_TRUE(RunWsl(FakeWslPath().c_str(), L"", kListQuietArguments, nullptr, nullptr, &capture));
  EXPECT_EQ(L"\"wsl.exe\" --list --quiet", DecodeHexUnits(capture.text));
}

TEST(RunWsl, StartsTheProgramAtItsFullPathEvenWhenThePathHoldsSpaces) {
  ScratchFolder folder(L"runner-path");
  const std::wstring directory = folder / L"Windows Apps dir";
  ASSERT_TRUE(CreateDirectoryW(directory.c_str(), nullptr));
  const std::wstring program = directory + L"\\wsl.exe";
  ASSERT_TRUE(CopyFileW(FakeWslPath().c_str(), program.c_str(), FALSE));
  CommandCapture capture;
  ASSERT_TRUE(RunWsl(program.c_str(), L"", kNoExtraArguments, L"hex 6f6b; exit 4", nullptr, &capture));
  EXPECT_EQ(4u, capture.exit_code);
  EXPECT_STREQ("ok", capture.text);
}

TEST(RunWsl, FailsWithAClearedCaptureWhenTheProgramCannotBeStarted) {
  ScratchFolder folder(L"runner-start");
  const std::wstring text_file = folder / L"wsl.exe";
  ASSERT_TRUE(WriteWholeFile(text_file, "not a program\r\n"));
  const struct {
    const char* name;
    std::wstring path;
  } cases[] = {
      {"no such file", folder / L"missing\\wsl.exe"},
      {"a folder", folder.path()},
      {"a text file named wsl.exe", text_file},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    CommandCapture capture;
    Scribble(&capture);
    EXPECT_FALSE(RunWsl(c.path.c_str(), L"", kNoExtraArguments, L"exit 0", "payload\n", &capture));
    EXPECT_TRUE(AllZero(capture));
  }
}

TEST(RunWsl, LeavesNoHandleOpenOnAnyPath) {
  ScratchFolder folder(L"runner-handles");
  const std::wstring missing = folder / L"missing.exe";
  const std::wstring refused(4000, L'x');
  CommandCapture capture;
  // The first run of a process opens what stays open anyway (loaded
  // libraries, the console); count from the second.
  RunFake(L"exit 0", nullptr, &capture);
  const long before = SystemListHandleCount();
  ASSERT_GT(before, 0) << "no handle count to compare";
  for (int round = 0; round < 3; ++round) {
    EXPECT_TRUE(RunFake(L"echo; pattern 5000 700; exit 2", "input\n", &capture));
    EXPECT_TRUE(RunFake(L"echo", "input\n", &capture));
    EXPECT_FALSE(RunWsl(missing.c_str(), L"", kNoExtraArguments, L"exit 0", nullptr, &capture));
    EXPECT_FALSE(RunFake(refused, nullptr, &capture));
  }
  EXPECT_EQ(before, SystemListHandleCount());
}

}  // namespace
