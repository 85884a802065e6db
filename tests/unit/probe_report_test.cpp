// Reading markers, the user and the distribution out of what the scripts
// printed, and classifying a failed enrollment run.
#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <vector>

#include "core/probe_report.h"
#include "tests/unit/test_support.h"

namespace {

using qvtest::FillCapture;

// A full capture (12287 stored bytes) whose last line is `line`, unended:
// its last byte is the capture's last stored byte.
std::string EndingAFullCapture(const std::string& line) {
  return std::string(kCaptureCapacity - 1 - line.size() - 1, 'x') + "\n" + line;
}

// A capture holding the given text, as the runner leaves it.
struct Capture {
  CommandCapture capture;
  explicit Capture(const std::string& text, uint32_t exit_code = 0) { FillCapture(&capture, text, exit_code); }
  const CommandCapture* get() const { return &capture; }
};

// --- Markers -------------------------------------------------------------

TEST(HasMarker, IsACaseSensitiveSubstringSearchOverTheWholeText) {
  struct Case {
    std::string text;
    const char* marker;
    bool found;
  };
  const std::string far_out = std::string(12000, 'x') + "QV_DOCKER_OK";
  const Case cases[] = {
      {"QV_PREFLIGHT\n", "QV_PREFLIGHT", true},
      {"QV_PREFLIGHT", "QV_PREFLIGHT", true},                 // no line end
      {"noise QV_UBUNTU noise", "QV_UBUNTU", true},           // inside a line
      {"XQV_UBUNTUX", "QV_UBUNTU", true},                     // inside a longer word
      {"QV_DOCKER_OKAY", "QV_DOCKER_OK", true},
      {"qv_ubuntu\n", "QV_UBUNTU", false},                    // case matters
      {"QV_Ubuntu\n", "QV_UBUNTU", false},
      {"QV_UBUNT\n", "QV_UBUNTU", false},                     // a prefix of the marker
      {"QV_UBUNT", "QV_UBUNTU", false},                       // cut off at the end of the text
      {"", "QV_PREFLIGHT", false},
      {"QV_DOCKER_MISSING\n", "QV_DOCKER_OK", false},
      {"QV_NEED_TOOLS\nQV_WSL_NOT_2\n", "QV_WSL_NOT_2", true},  // not the first line
      {"QV_\nPREFLIGHT", "QV_PREFLIGHT", false},              // split over two lines
      {far_out, "QV_DOCKER_OK", true},                        // near the end of a full capture
      {std::string(kCaptureCapacity - 1 - 12, 'x') + "QV_DOCKER_OK", "QV_DOCKER_OK", true},
  };
  for (const Case& c : cases) {
    const Capture capture(c.text);
    EXPECT_EQ(c.found, HasMarker(capture.get(), c.marker)) << c.marker << " in " << c.text.substr(0, 40);
  }
}

TEST(HasMarker, StopsAtTheTextsTerminator) {
  // Stale bytes of an earlier, longer output after the terminator do not count.
  Capture capture("short\n");
  memcpy(capture.capture.text + 10, "QV_DOCKER_OK", 12);
  EXPECT_FALSE(HasMarker(capture.get(), "QV_DOCKER_OK"));
}

// --- The user ------------------------------------------------------------

TEST(ReadUser, TakesTheFirstUserLineWhenItIsAUsableName) {
  struct Case {
    const char* what;
    std::string text;
    bool ok;
    std::string user;
  };
  const Case cases[] = {
      {"CR LF ended", "QV_PREFLIGHT\r\nQV_USER=alice\r\nQV_DISTRO=Ubuntu\r\n", true, "alice"},
      {"LF ended", "QV_USER=alice\nQV_DISTRO=Ubuntu\n", true, "alice"},
      {"CR ended", "QV_USER=alice\rrest", true, "alice"},
      {"at the end of the text", "QV_PREFLIGHT\nQV_USER=bob", true, "bob"},
      {"ending at the last byte of a full capture", EndingAFullCapture("QV_USER=alice"), true, "alice"},
      {"one byte", "QV_USER=b\n", true, "b"},
      {"32 bytes", "QV_USER=" + std::string(32, 'u') + "\n", true, std::string(32, 'u')},
      {"every allowed byte", "QV_USER=Az09_-zZ\n", true, "Az09_-zZ"},
      {"a dash after the first byte", "QV_USER=a-\n", true, "a-"},
      {"an underscore first", "QV_USER=_svc\n", true, "_svc"},
      {"a digit first", "QV_USER=1user\n", true, "1user"},
      {"the first of two lines", "QV_USER=alice\nQV_USER=bob\n", true, "alice"},
      {"a first line that is bad", "QV_USER=a.b\nQV_USER=bob\n", false, ""},
      {"no user line (root)", "QV_PREFLIGHT\nQV_DISTRO=Ubuntu\n", false, ""},
      {"an empty value", "QV_USER=\nQV_DISTRO=Ubuntu\n", false, ""},
      {"an empty value at the end", "QV_USER=", false, ""},
      {"33 bytes", "QV_USER=" + std::string(33, 'u') + "\n", false, ""},
      {"a dash first", "QV_USER=-alice\n", false, ""},
      {"a dot", "QV_USER=al.ice\n", false, ""},
      {"a space", "QV_USER=al ice\n", false, ""},
      {"a trailing space", "QV_USER=alice \n", false, ""},
      {"a tab", "QV_USER=alice\t\n", false, ""},
      {"a dollar", "QV_USER=$alice\n", false, ""},
      {"a non-ASCII byte", "QV_USER=al\xC3\xA9\n", false, ""},
      {"a lower-case prefix", "qv_user=alice\n", false, ""},
  };
  for (const Case& c : cases) {
    const Capture capture(c.text);
    char user[kUserNameCapacity];
    memset(user, '#', sizeof user);
    EXPECT_EQ(c.ok, ReadUser(capture.get(), user)) << c.what;
    if (c.ok) {  // terminated right after the name
      EXPECT_EQ(c.user, std::string(user)) << c.what;
    }
  }
}

// --- The distribution ----------------------------------------------------

TEST(ReadDistribution, FillsAnEmptyDistroFromTheFirstDistroLine) {
  struct Case {
    const char* what;
    std::string text;
    bool ok;
    std::wstring distro;
  };
  const Case cases[] = {
      {"a versioned name", "QV_DISTRO=Ubuntu-22.04\n", true, L"Ubuntu-22.04"},
      {"CR LF ended", "QV_USER=alice\r\nQV_DISTRO=Ubuntu\r\n", true, L"Ubuntu"},
      {"at the end of the text", "QV_DISTRO=Debian", true, L"Debian"},
      {"ending at the last byte of a full capture", EndingAFullCapture("QV_DISTRO=Ubuntu"), true, L"Ubuntu"},
      {"a leading dash", "QV_DISTRO=-odd\n", true, L"-odd"},
      {"dots and underscores", "QV_DISTRO=My_Distro.1.2\n", true, L"My_Distro.1.2"},
      {"79 bytes", "QV_DISTRO=" + std::string(79, 'd') + "\n", true, std::wstring(79, L'd')},
      {"the first of two lines", "QV_DISTRO=First\nQV_DISTRO=Second\n", true, L"First"},
      {"80 bytes", "QV_DISTRO=" + std::string(80, 'd') + "\n", false, L""},
      {"an empty value", "QV_DISTRO=\n", false, L""},
      {"an empty value at the end", "QV_DISTRO=", false, L""},
      {"no distro line", "QV_PREFLIGHT\nQV_USER=alice\n", false, L""},
      {"a space", "QV_DISTRO=My Distro\n", false, L""},
      {"a trailing space", "QV_DISTRO=Ubuntu \n", false, L""},
      {"a slash", "QV_DISTRO=a/b\n", false, L""},
      {"a quote", "QV_DISTRO=\"Ubuntu\"\n", false, L""},
      {"a non-ASCII byte", "QV_DISTRO=Ub\xC3\xBCntu\n", false, L""},
      {"a byte whose low bits are a letter", "QV_DISTRO=Ub\xF5ntu\n", false, L""},
      {"a first line that is bad", "QV_DISTRO=a b\nQV_DISTRO=Ubuntu\n", false, L""},
  };
  for (const Case& c : cases) {
    const Capture capture(c.text);
    EnrollmentJob job = {};
    // Stale units past the empty field's terminator must not survive a read.
    for (size_t i = 1; i < kDistroCapacity; ++i) job.distro[i] = L'#';
    EXPECT_EQ(c.ok, ReadDistribution(&job, capture.get())) << c.what;
    if (c.ok) {
      EXPECT_EQ(c.distro, std::wstring(job.distro)) << c.what;
    }
  }
}

TEST(ReadDistribution, KeepsTheUsersChoiceWithoutReadingTheReport) {
  const std::string texts[] = {
      "QV_DISTRO=Ubuntu\n",
      "QV_DISTRO=\n",                       // empty value
      "QV_DISTRO=bad name/with slash\n",   // unusable value
      "QV_PREFLIGHT\n",                    // no line at all
  };
  for (const std::string& text : texts) {
    const Capture capture(text);
    EnrollmentJob job = {};
    wcscpy(job.distro, L"Debian");
    EXPECT_TRUE(ReadDistribution(&job, capture.get())) << text;
    EXPECT_EQ(std::wstring(L"Debian"), std::wstring(job.distro)) << text;
  }
}

// --- A failed enrollment run ---------------------------------------------

struct Rule {
  const char* marker;
  Outcome outcome;
};

// In the order they are tried.
const Rule kRules[] = {
    {"QV_WSL_NOT_2", E_WSL_VERSION},      {"QV_PREREQUISITES", E_PREREQUISITE},
    {"E_PYTHON_MISSING", E_PREREQUISITE}, {"QV_DOCKER_UNAVAILABLE", E_DOCKER_NOT_READY},
    {"QV_DOWNLOAD_FAILED", E_DOWNLOAD},   {"E_TOKEN_", E_TOKEN},
};

TEST(ClassifyEnrollmentRun, MapsEachFailureMarkerToItsOutcome) {
  for (const Rule& rule : kRules) {
    const Capture capture(std::string("QV_INSTALL_RUNNING\n") + rule.marker + "\n", 1);
    EXPECT_EQ(rule.outcome, ClassifyEnrollmentRun(capture.get())) << rule.marker;
  }
}

TEST(ClassifyEnrollmentRun, LetsTheEarlierRuleWinWhereverItsMarkerStands) {
  const size_t count = sizeof kRules / sizeof kRules[0];
  for (size_t first = 0; first < count; ++first) {
    for (size_t later = first + 1; later < count; ++later) {
      // The later rule's marker comes first in the text.
      const Capture capture(std::string(kRules[later].marker) + "\n" + kRules[first].marker + "\n", 1);
      EXPECT_EQ(kRules[first].outcome, ClassifyEnrollmentRun(capture.get()))
          << kRules[first].marker << " against " << kRules[later].marker;
    }
  }
}

TEST(ClassifyEnrollmentRun, HandlesTheInstallersOwnWords) {
  struct Case {
    const char* what;
    std::string text;
    Outcome outcome;
  };
  const Case cases[] = {
      {"download failure and a token error", "E_TOKEN_EXPIRED\nQV_DOWNLOAD_FAILED\n", E_DOWNLOAD},
      {"a token word with anything after it", "error: E_TOKEN_USED_UP_2\n", E_TOKEN},
      {"a token word inside another word", "xE_TOKEN_x", E_TOKEN},
      {"the token word without its underscore", "E_TOKEN\n", E_INSTALL},
      {"a python word from install.sh", "QV_INSTALL_RUNNING\nE_PYTHON_MISSING\n", E_PREREQUISITE},
      {"connected but the running line was pushed out", "I_CONNECTED\n", E_INSTALL},
      {"running and connected but failed anyway", "QV_INSTALL_RUNNING\nI_CONNECTED\n", E_INSTALL},
      {"nothing printed", "", E_INSTALL},
      {"markers in lower case", "qv_download_failed\ne_token_x\n", E_INSTALL},
      {"only the preflight's Docker word", "QV_DOCKER_MISSING\n", E_INSTALL},
      {"a kept tail holding a failure marker", std::string(4000, 'x') + "\nQV_DOCKER_UNAVAILABLE\n",
       E_DOCKER_NOT_READY},
  };
  for (const Case& c : cases) {
    const Capture capture(c.text, 0);
    EXPECT_EQ(c.outcome, ClassifyEnrollmentRun(capture.get())) << c.what;
  }
}

}  // namespace
