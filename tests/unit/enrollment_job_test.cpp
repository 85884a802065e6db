// Turning the code field and the distribution field into a job.
#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>
#include <wchar.h>

#include <string>
#include <vector>

#include "core/base64.h"
#include "core/enrollment_job.h"
#include "tests/unit/test_support.h"

namespace {

using qvtest::AllZero;
using qvtest::Base64Encode;
using qvtest::Narrow;
using qvtest::Wide;

const std::wstring kBase = L"https://quenvale.com";
// "qvt_" and 16 valid units: the shortest valid token.
const std::wstring kToken20 = L"qvt_abcdefghijklmnop";

WindowHandle const kOwner = reinterpret_cast<WindowHandle>(static_cast<uintptr_t>(0x4711));

// What the distribution field holds, and how it was asked for.
struct DistroField {
  std::wstring text;
  int reads = 0;
  const wchar_t* destination = nullptr;
  size_t capacity = 0;
};

void ReadDistroField(void* context, wchar_t* destination, size_t capacity) {
  DistroField* field = static_cast<DistroField*>(context);
  ++field->reads;
  field->destination = destination;
  field->capacity = capacity;
  // Like a bounded control read: at most capacity - 1 units and a terminator.
  size_t i = 0;
  for (; i + 1 < capacity && i < field->text.size(); ++i) destination[i] = field->text[i];
  if (capacity > 0) destination[i] = 0;
}

struct Built {
  bool ok;
  JobRejection rejection;
  EnrollmentJob job;
  bool code_wiped;
  int distro_reads;
};

Built Build(const std::wstring& code, const std::wstring& distro = L"",
            DecodeBase64Fn decoder = DecodeBase64Portable) {
  wchar_t buffer[kCodeCapacity];
  // Whatever lies past the terminator must be wiped as well.
  for (size_t i = 0; i < kCodeCapacity; ++i) buffer[i] = L'#';
  EXPECT_LT(code.size(), kCodeCapacity);
  wcsncpy(buffer, code.c_str(), kCodeCapacity - 1);
  buffer[code.size() < kCodeCapacity ? code.size() : kCodeCapacity - 1] = 0;

  DistroField field;
  field.text = distro;
  JobRequest request = {kOwner, buffer, ReadDistroField, &field, decoder};
  Built built;
  memset(&built.job, 0, sizeof built.job);
  built.rejection = static_cast<JobRejection>(99);
  built.ok = BuildEnrollmentJob(&request, &built.job, &built.rejection);
  built.code_wiped = AllZero(buffer, sizeof buffer);
  built.distro_reads = field.reads;
  return built;
}

std::wstring CodeWith(const std::wstring& token, const std::wstring& tail = L"") {
  return L"qvw1|" + kBase + L"|" + token + tail;
}

std::wstring NameField(const std::string& bytes) {
  return L"|" + Wide(Base64Encode(bytes));
}

std::string PayloadOf(const Built& built) {
  return std::string(built.job.payload);
}

// --- The code field ------------------------------------------------------

struct CodeCase {
  const char* what;
  std::wstring code;
  bool valid;
};

std::wstring TokenOfLength(size_t length) {
  std::wstring token = L"qvt_";
  while (token.size() < length) token.push_back(static_cast<wchar_t>(L'a' + token.size() % 26));
  return token;
}

std::vector<CodeCase> CodeCases() {
  std::vector<CodeCase> cases = {
      {"an empty field", L"", false},
      {"the magic alone", L"qvw1|", false},
      {"magic, base and no token separator", L"qvw1|" + kBase, false},
      {"magic, base and an empty token", L"qvw1|" + kBase + L"|", false},
      {"the magic in upper case", L"QVW1|" + kBase + L"|" + kToken20, false},
      {"another magic version", L"qvw2|" + kBase + L"|" + kToken20, false},
      {"the magic without its bar", L"qvw1" + kBase + L"|" + kToken20, false},
      {"a leading space", L" " + CodeWith(kToken20), false},
      {"a leading tab", L"\t" + CodeWith(kToken20), false},
      {"an empty base", L"qvw1||" + kToken20, false},
      {"the bare https base", L"qvw1|https://quenvale.com|" + kToken20, true},
      {"the www base", L"qvw1|https://www.quenvale.com|" + kToken20, true},
      {"the numeric http base", L"qvw1|http://203.0.113.10|" + kToken20, true},
      {"a base with a trailing slash", L"qvw1|https://quenvale.com/|" + kToken20, false},
      {"the www base with a trailing slash", L"qvw1|https://www.quenvale.com/|" + kToken20, false},
      {"the numeric base with a trailing slash", L"qvw1|http://203.0.113.10/|" + kToken20, false},
      {"a base in upper case", L"qvw1|HTTPS://QUENVALE.COM|" + kToken20, false},
      {"a base with one upper-case letter", L"qvw1|https://Quenvale.com|" + kToken20, false},
      {"the service over plain http", L"qvw1|http://quenvale.com|" + kToken20, false},
      {"the numeric base over https", L"qvw1|https://203.0.113.10|" + kToken20, false},
      {"a prefix of an allowed base", L"qvw1|https://quenvale.co|" + kToken20, false},
      {"an allowed base with more after it", L"qvw1|https://quenvale.com.example|" + kToken20, false},
      {"an allowed base with a port", L"qvw1|https://quenvale.com:443|" + kToken20, false},
      {"an allowed base with a space after it", L"qvw1|https://quenvale.com |" + kToken20, false},
      {"a token of 19 units", CodeWith(TokenOfLength(19)), false},
      {"a token of 20 units", CodeWith(TokenOfLength(20)), true},
      {"a token of 80 units", CodeWith(TokenOfLength(80)), true},
      {"a token of 81 units", CodeWith(TokenOfLength(81)), false},
      {"a token of 80 units ended by a bar", CodeWith(TokenOfLength(80), L"|"), true},
      {"a token of 81 units ended by a bar", CodeWith(TokenOfLength(81), L"|"), false},
      {"the prefix alone", CodeWith(L"qvt_"), false},
      {"the prefix in upper case", CodeWith(L"QVT_abcdefghijklmnop"), false},
      {"the prefix partly in upper case", CodeWith(L"qVt_abcdefghijklmnop"), false},
      {"a token without the prefix", CodeWith(L"abcdefghijklmnopqrst"), false},
      {"a prefix with a dash instead of the underscore", CodeWith(L"qvt-abcdefghijklmnop"), false},
      {"a token of every allowed unit", CodeWith(L"qvt_AZaz09_-Mm5__--xX"), true},
      {"a token of dashes and underscores only", CodeWith(L"qvt_----____----____"), true},
      {"a valid code followed by a space", CodeWith(kToken20, L" "), false},
      {"a valid code followed by a line feed", CodeWith(kToken20, L"\n"), false},
      {"a valid code followed by CR LF", CodeWith(kToken20, L"\r\n"), false},
      {"a valid code ended by a bar (empty name field)", CodeWith(kToken20, L"|"), true},
      {"a name field that is not Base64", CodeWith(kToken20, L"|n@me"), false},
      {"a name field holding a further bar", CodeWith(kToken20, L"|bm9k|ZS0x"), false},
      {"a name field that is only a bar", CodeWith(kToken20, L"||"), false},
  };
  // Each unit that may not follow the prefix, in the middle of a 20-unit token.
  const wchar_t bad_units[] = {L'.', L'+', L'/', L'=', L' ', L'~', L'!', L'@', L':', L'\t',
                               L'\u00E9', L'\u0141', L'\u0130', L'\uFF41', L'\u4E00'};
  for (wchar_t unit : bad_units) {
    std::wstring token = kToken20;
    token[10] = unit;
    cases.push_back({"a token with a unit outside the token alphabet", CodeWith(token), false});
  }
  return cases;
}

TEST(CodeField, IsAcceptedOrRejectedAtEachBoundaryOfTheFormat) {
  for (const CodeCase& c : CodeCases()) {
    const Built built = Build(c.code, L"Ubuntu");
    EXPECT_EQ(c.valid, built.ok) << c.what << ": " << Narrow(c.code.c_str());
    EXPECT_EQ(c.valid ? JOB_ACCEPTED : JOB_INVALID_CODE, built.rejection) << c.what;
  }
}

TEST(CodeField, IsWipedWholeAfterTheCallWhateverTheResult) {
  for (const CodeCase& c : CodeCases()) {
    EXPECT_TRUE(Build(c.code, L"Ubuntu").code_wiped) << c.what;
    // A bad distribution name after a good code: the code is wiped all the same.
    EXPECT_TRUE(Build(c.code, L"a/b").code_wiped) << c.what;
  }
}

TEST(CodeField, ThatIsRejectedNeverReadsTheDistributionField) {
  for (const CodeCase& c : CodeCases()) {
    // The field's text is invalid too: a read would also change the rejection.
    const Built built = Build(c.code, L"no/such distro");
    EXPECT_EQ(c.valid ? 1 : 0, built.distro_reads) << c.what;
    if (!c.valid) {
      EXPECT_EQ(JOB_INVALID_CODE, built.rejection) << c.what;
      EXPECT_EQ(0, built.job.distro[0]) << c.what;
    }
  }
}

TEST(CodeField, FillsTheOwnerAndThePayloadAsBaseTokenNameLines) {
  struct Case {
    const char* what;
    std::wstring code;
    std::string payload;
  };
  const std::wstring token80 = TokenOfLength(80);
  const Case cases[] = {
      {"no name field", CodeWith(kToken20), "https://quenvale.com\nqvt_abcdefghijklmnop\n\n"},
      {"an empty name field", CodeWith(kToken20, L"|"), "https://quenvale.com\nqvt_abcdefghijklmnop\n\n"},
      {"an ASCII name", CodeWith(kToken20, NameField("node-1")),
       "https://quenvale.com\nqvt_abcdefghijklmnop\nnode-1\n"},
      {"the numeric base and an 80-unit token", L"qvw1|http://203.0.113.10|" + token80,
       "http://203.0.113.10\n" + Narrow(token80.c_str()) + "\n\n"},
      {"the www base", L"qvw1|https://www.quenvale.com|" + kToken20,
       "https://www.quenvale.com\nqvt_abcdefghijklmnop\n\n"},
  };
  for (const Case& c : cases) {
    const Built built = Build(c.code);
    ASSERT_TRUE(built.ok) << c.what;
    EXPECT_EQ(kOwner, built.job.owner) << c.what;
    EXPECT_EQ(c.payload, PayloadOf(built)) << c.what;
    // Nothing beyond the terminator.
    EXPECT_TRUE(AllZero(built.job.payload + c.payload.size(), kPayloadCapacity - c.payload.size()))
        << c.what;
  }
}

// --- The node name -------------------------------------------------------

TEST(NodeName, IsCopiedAsDecodedUnlessItHoldsNulLfOrCrOrIsTooLong) {
  struct Case {
    const char* what;
    std::string bytes;
    bool valid;
  };
  const Case cases[] = {
      {"Chinese UTF-8 text", "\xE8\x8A\x82\xE7\x82\xB9\xE4\xB8\x80\xE5\x8F\xB7", true},  // 节点一号
      {"bytes that are not UTF-8", "\xFF\xFE\x80\xC0 node", true},
      {"a lone continuation byte", "\x80", true},
      {"spaces, bars and quotes", "my \"node\" | 'x' $HOME", true},
      {"one byte", "n", true},
      {"exactly 160 bytes", std::string(160, 'n'), true},
      {"160 bytes of two-byte UTF-8", [] {
         std::string s;
         for (int i = 0; i < 80; ++i) s += "\xC3\xA9";
         return s;
       }(),
       true},
      {"161 bytes", std::string(161, 'n'), false},
      {"216 bytes", std::string(216, 'n'), false},
      {"a line feed", "node\n1", false},
      {"a trailing line feed", "node\n", false},
      {"a carriage return", "node\r1", false},
      {"a NUL byte in the middle", std::string("no\0de", 5), false},
      {"a leading NUL byte", std::string("\0node", 5), false},
      {"a trailing NUL byte", std::string("node\0", 5), false},
  };
  for (const Case& c : cases) {
    const Built built = Build(CodeWith(kToken20, NameField(c.bytes)));
    EXPECT_EQ(c.valid, built.ok) << c.what;
    if (c.valid) {
      EXPECT_EQ("https://quenvale.com\nqvt_abcdefghijklmnop\n" + c.bytes + "\n", PayloadOf(built)) << c.what;
    } else {
      EXPECT_EQ(JOB_INVALID_CODE, built.rejection) << c.what;
      EXPECT_EQ(0, built.distro_reads) << c.what;
    }
  }
}

TEST(NodeName, TheLongestCodeFitsThePayloadWithRoomToSpare) {
  // 24-unit base, 80-unit token and 160 name bytes: the longest payload any
  // valid code can produce is 267 bytes, well below the 319 allowed.
  const std::string name(160, 'z');
  const Built built = Build(L"qvw1|https://www.quenvale.com|" + TokenOfLength(80) + NameField(name));
  ASSERT_TRUE(built.ok);
  EXPECT_EQ(267u, PayloadOf(built).size());
}

// The decoder is reached only through the request.
struct DecoderLog {
  int calls = 0;
  std::wstring text;
  size_t capacity = 0;
};
DecoderLog g_decoder_log;

bool DecodeToMarker(const wchar_t* text, unsigned char* out, size_t capacity, size_t* decoded) {
  ++g_decoder_log.calls;
  g_decoder_log.text = text;
  g_decoder_log.capacity = capacity;
  static const char kBytes[] = "from-the-request";
  memcpy(out, kBytes, sizeof kBytes - 1);
  *decoded = sizeof kBytes - 1;
  return true;
}

bool DecodeRefusing(const wchar_t*, unsigned char*, size_t, size_t* decoded) {
  ++g_decoder_log.calls;
  *decoded = 0;
  return false;
}

bool DecodeOverReporting(const wchar_t*, unsigned char* out, size_t capacity, size_t* decoded) {
  ++g_decoder_log.calls;
  memset(out, 'x', capacity);
  *decoded = capacity + 1;
  return true;
}

TEST(NodeName, IsDecodedOnlyThroughTheRequestsDecoder) {
  g_decoder_log = DecoderLog();
  // "!!!!" is no Base64 at all: only the request's decoder can accept it.
  const Built built = Build(CodeWith(kToken20, L"|!!!!|more"), L"", DecodeToMarker);
  ASSERT_TRUE(built.ok);
  EXPECT_EQ(1, g_decoder_log.calls);
  EXPECT_EQ(std::wstring(L"!!!!|more"), g_decoder_log.text);  // the whole field, further bars included
  EXPECT_EQ(160u, g_decoder_log.capacity);
  EXPECT_EQ("https://quenvale.com\nqvt_abcdefghijklmnop\nfrom-the-request\n", PayloadOf(built));
}

TEST(NodeName, DecoderIsNotAskedWithoutANameOrForABadCode) {
  const std::wstring codes[] = {
      CodeWith(kToken20),                               // no name field
      CodeWith(kToken20, L"|"),                         // empty name field
      L"qvw1|https://quenvale.com/|" + kToken20 + L"|bmFtZQ==",  // bad base
      CodeWith(L"qvt_short", L"|bmFtZQ=="),            // bad token
  };
  for (const std::wstring& code : codes) {
    g_decoder_log = DecoderLog();
    Build(code, L"", DecodeToMarker);
    EXPECT_EQ(0, g_decoder_log.calls) << Narrow(code.c_str());
  }
}

TEST(NodeName, DecoderFailureOrOversizedResultRejectsTheCode) {
  for (DecodeBase64Fn decoder : {DecodeRefusing, DecodeOverReporting}) {
    g_decoder_log = DecoderLog();
    const Built built = Build(CodeWith(kToken20, L"|bmFtZQ=="), L"Ubuntu", decoder);
    EXPECT_EQ(1, g_decoder_log.calls);
    EXPECT_FALSE(built.ok);
    EXPECT_EQ(JOB_INVALID_CODE, built.rejection);
    EXPECT_EQ(0, built.distro_reads);
    EXPECT_TRUE(built.code_wiped);
  }
}

// --- The distribution field ----------------------------------------------

TEST(DistributionField, AcceptsOnlyAsciiLettersDigitsDashDotAndUnderscore) {
  struct Case {
    std::wstring text;
    bool valid;
  };
  const Case cases[] = {
      {L"", true},
      {L"Ubuntu", true},
      {L"Ubuntu-22.04", true},
      {L"My_Distro.1", true},
      {L"-leading-dash", true},
      {L".", true},
      {std::wstring(79, L'd'), true},
      {L"My Distro_1", false},  // wsl.exe could not take it as one argument
      {L" Ubuntu", false},
      {L"Ubuntu ", false},
      {L"a/b", false},
      {L"a\\b", false},
      {L"\"Ubuntu\"", false},
      {L"Ubuntu\t", false},
      {L"Ubuntu;ls", false},
      {L"\u00DCbuntu", false},   // non-ASCII letter
      {L"Ubunt\u0175", false},   // a unit whose low byte is 'u'
      {L"\uFF35buntu", false},   // fullwidth 'U'
      {L"\u4E4C\u73ED\u56FE", false},
  };
  for (const Case& c : cases) {
    const Built built = Build(CodeWith(kToken20), c.text);
    EXPECT_EQ(c.valid, built.ok) << Narrow(c.text.c_str());
    EXPECT_EQ(c.valid ? JOB_ACCEPTED : JOB_INVALID_DISTRO, built.rejection) << Narrow(c.text.c_str());
    if (c.valid) {
      EXPECT_EQ(c.text, std::wstring(built.job.distro));
    }
    // The code was good: its payload is already in the job either way.
    EXPECT_EQ("https://quenvale.com\nqvt_abcdefghijklmnop\n\n", PayloadOf(built));
  }
}

TEST(DistributionField, IsReadStraightIntoTheJobWithItsCapacity) {
  wchar_t code[kCodeCapacity] = {};
  const std::wstring text = CodeWith(kToken20);
  wcsncpy(code, text.c_str(), kCodeCapacity - 1);
  DistroField field;
  field.text = L"Debian";
  JobRequest request = {kOwner, code, ReadDistroField, &field, DecodeBase64Portable};
  EnrollmentJob job = {};
  JobRejection rejection = JOB_INVALID_CODE;
  ASSERT_TRUE(BuildEnrollmentJob(&request, &job, &rejection));
  EXPECT_EQ(1, field.reads);
  EXPECT_EQ(job.distro, field.destination);
  EXPECT_EQ(kDistroCapacity, field.capacity);
  EXPECT_EQ(std::wstring(L"Debian"), std::wstring(job.distro));
}

void ReadDistroUnterminated(void*, wchar_t* destination, size_t capacity) {
  for (size_t i = 0; i < capacity; ++i) destination[i] = L'x';
}

void ReadDistroNothing(void*, wchar_t*, size_t) {}

TEST(DistributionField, ThatFillsTheWholeFieldIsCutAt79Units) {
  wchar_t code[kCodeCapacity] = {};
  const std::wstring text = CodeWith(kToken20);
  wcsncpy(code, text.c_str(), kCodeCapacity - 1);
  JobRequest request = {kOwner, code, ReadDistroUnterminated, nullptr, DecodeBase64Portable};
  EnrollmentJob job = {};
  JobRejection rejection = JOB_INVALID_CODE;
  ASSERT_TRUE(BuildEnrollmentJob(&request, &job, &rejection));
  EXPECT_EQ(std::wstring(kDistroCapacity - 1, L'x'), std::wstring(job.distro));
}

TEST(DistributionField, ThatCouldNotBeReadCountsAsEmpty) {
  wchar_t code[kCodeCapacity] = {};
  const std::wstring text = CodeWith(kToken20);
  wcsncpy(code, text.c_str(), kCodeCapacity - 1);
  JobRequest request = {kOwner, code, ReadDistroNothing, nullptr, DecodeBase64Portable};
  EnrollmentJob job = {};
  JobRejection rejection = JOB_INVALID_CODE;
  ASSERT_TRUE(BuildEnrollmentJob(&request, &job, &rejection));
  EXPECT_EQ(JOB_ACCEPTED, rejection);
  EXPECT_EQ(0, job.distro[0]);
}

}  // namespace
