// The command lines of wsl.exe and the three scripts they carry.
#include <gtest/gtest.h>

#include <wchar.h>

#include <string>
#include <vector>

#include "tests/unit/test_support.h"
#include "wsl/scripts.h"

namespace {

using qvtest::Narrow;

struct Built {
  bool ok;
  std::wstring line;
  bool terminated;  // the buffer's last unit is the terminator
};

Built Build(const wchar_t* distro, const wchar_t* extra, const wchar_t* script) {
  static wchar_t buffer[kCommandLineCapacity];
  for (wchar_t& unit : buffer) unit = L'#';
  Built built;
  built.ok = BuildCommandLine(distro, extra, script, buffer);
  built.terminated = buffer[kCommandLineCapacity - 1] == 0;
  built.line = built.ok ? std::wstring(buffer) : std::wstring();
  return built;
}

std::wstring Quoted(const wchar_t* script) { return L"\"" + std::wstring(script) + L"\""; }

TEST(CommandLine, IsBuiltByteForByteInEachForm) {
  struct Case {
    const char* what;
    const wchar_t* distro;
    const wchar_t* extra;
    const wchar_t* script;
    std::wstring expected;
  };
  const Case cases[] = {
      {"dependency script as root in Ubuntu", L"Ubuntu", kUserRootArguments, kDependencyScript,
       L"\"wsl.exe\" --distribution Ubuntu --user root --exec sh -c " + Quoted(kDependencyScript)},
      {"preflight in the default distribution", L"", kNoExtraArguments, kPreflightScript,
       L"\"wsl.exe\"  --exec sh -c " + Quoted(kPreflightScript)},
      {"preflight in Ubuntu", L"Ubuntu", kNoExtraArguments, kPreflightScript,
       L"\"wsl.exe\" --distribution Ubuntu  --exec sh -c " + Quoted(kPreflightScript)},
      {"enrollment in a versioned distribution", L"Ubuntu-22.04", kNoExtraArguments, kEnrollmentScript,
       L"\"wsl.exe\" --distribution Ubuntu-22.04  --exec sh -c " + Quoted(kEnrollmentScript)},
      {"a distribution starting with a dash", L"-odd", kNoExtraArguments, L"true",
       L"\"wsl.exe\" --distribution -odd  --exec sh -c \"true\""},
      {"dependency script as root in the default distribution", L"", kUserRootArguments, L"id",
       L"\"wsl.exe\" --user root --exec sh -c \"id\""},
      {"the distribution list", L"", kListQuietArguments, nullptr, L"\"wsl.exe\" --list --quiet"},
      {"the plain form never names a distribution", L"Ubuntu", kListQuietArguments, nullptr,
       L"\"wsl.exe\" --list --quiet"},
  };
  for (const Case& c : cases) {
    const Built built = Build(c.distro, c.extra, c.script);
    ASSERT_TRUE(built.ok) << c.what;
    EXPECT_EQ(c.expected, built.line) << c.what;
    EXPECT_TRUE(built.terminated) << c.what;
  }
}

TEST(CommandLine, OfEveryRealScriptIsPureAscii) {
  const wchar_t* const scripts[] = {kPreflightScript, kDependencyScript, kEnrollmentScript};
  const wchar_t* const extras[] = {kNoExtraArguments, kUserRootArguments};
  const std::wstring longest_distro(79, L'D');
  const wchar_t* const distros[] = {L"", L"Ubuntu", longest_distro.c_str()};
  for (const wchar_t* script : scripts) {
    for (const wchar_t* extra : extras) {
      for (const wchar_t* distro : distros) {
        const Built built = Build(distro, extra, script);
        ASSERT_TRUE(built.ok);
        for (wchar_t unit : built.line) {
          ASSERT_TRUE(unit >= 0x20 && unit <= 0x7E) << "unit " << static_cast<unsigned>(unit);
        }
      }
    }
  }
}

TEST(CommandLine, WithTheLongestDistroAndScriptStaysFarBelowTheLimit) {
  const std::wstring distro(79, L'D');
  const Built built = Build(distro.c_str(), kUserRootArguments, kDependencyScript);
  ASSERT_TRUE(built.ok);
  // "wsl.exe" (9) + " --distribution " (16) + 79 + " " + "--user root" (11)
  // + " --exec sh -c " (14) + the quoted script (1981 + 2).
  EXPECT_EQ(2113u, built.line.size());
}

TEST(CommandLine, Of3999UnitsIsAcceptedAndOf4000Refused) {
  struct Case {
    const char* what;
    const wchar_t* distro;
    size_t extra_length;   // synthetic extra arguments of this many units
    bool with_script;
    size_t script_length;  // synthetic script of this many units
    size_t line_length;
  };
  // Fixed parts: script form 26 units without a distribution, 48 with
  // "Ubuntu"; plain form 10 units.
  const Case cases[] = {
      {"script form, long script", L"", 0, true, 3973, 3999},
      {"script form, long script", L"", 0, true, 3974, 4000},
      {"script form, long script", L"", 0, true, 3975, 4001},
      {"script form in Ubuntu, long script", L"Ubuntu", 0, true, 3951, 3999},
      {"script form in Ubuntu, long script", L"Ubuntu", 0, true, 3952, 4000},
      {"script form, long extra text", L"", 3968, true, 5, 3999},
      {"script form, long extra text", L"", 3969, true, 5, 4000},
      {"plain form, long extra text", L"", 3989, false, 0, 3999},
      {"plain form, long extra text", L"", 3990, false, 0, 4000},
      {"plain form, far too long", L"", 9000, false, 0, 9010},
      {"script form, far too long", L"Ubuntu", 0, true, 8000, 8048},
  };
  for (const Case& c : cases) {
    const std::wstring extra(c.extra_length, L'e');
    const std::wstring script(c.script_length, L's');
    const Built built = Build(c.distro, extra.c_str(), c.with_script ? script.c_str() : nullptr);
    EXPECT_EQ(c.line_length <= 3999, built.ok) << c.what << ", " << c.line_length << " units";
    if (built.ok) {
      EXPECT_EQ(c.line_length, built.line.size()) << c.what;
    }
    // Refused or not, the buffer never runs past its end unterminated.
    EXPECT_TRUE(built.terminated) << c.what << ", " << c.line_length << " units";
  }
}

// --- The script texts ----------------------------------------------------

struct Script {
  const char* name;
  const wchar_t* text;
  size_t length;
  const wchar_t* first_statement;
  const wchar_t* last_statement;
};

const Script kScripts[] = {
    {"preflight", kPreflightScript, 832, L"echo QV_PREFLIGHT; ", L"; exit 0"},
    {"dependency", kDependencyScript, 1981, L"set -eu; ", L"; echo QV_DEPS_READY"},
    {"enrollment", kEnrollmentScript, 675, L"set -eu; ", L"; sh \\\"$f\\\" --name \\\"$QV_NAME\\\""},
};

TEST(ScriptText, HasItsExactLength) {
  for (const Script& script : kScripts) {
    EXPECT_EQ(script.length, wcslen(script.text)) << script.name;
  }
}

TEST(ScriptText, IsOneLineThatSurvivesTheDoubleQuotesOfTheCommandLine) {
  for (const Script& script : kScripts) {
    const std::wstring text = script.text;
    EXPECT_EQ(0u, text.find(script.first_statement)) << script.name;
    const std::wstring last = script.last_statement;
    ASSERT_GE(text.size(), last.size());
    EXPECT_EQ(last, text.substr(text.size() - last.size())) << script.name;
    for (size_t i = 0; i < text.size(); ++i) {
      const wchar_t unit = text[i];
      ASSERT_TRUE(unit >= 0x20 && unit <= 0x7E) << script.name << " unit " << i;
      if (unit == L'"') {
        // Every double quote is escaped by exactly one backslash, or it
        // would end the sh -c argument (or an even run would not escape it).
        ASSERT_GE(i, 1u) << script.name;
        EXPECT_EQ(L'\\', text[i - 1]) << script.name << " quote at " << i;
        if (i >= 2) {
          EXPECT_NE(L'\\', text[i - 2]) << script.name << " quote at " << i;
        }
      }
    }
    // A trailing backslash would escape the closing quote.
    EXPECT_NE(L'\\', text.back()) << script.name;
    // Statements are joined by exactly "; ".
    EXPECT_EQ(std::wstring::npos, text.find(L";  ")) << script.name;
  }
}

TEST(ScriptText, PrintsEveryMarkerTheWorkerTestsFor) {
  struct Case {
    const wchar_t* script;
    const wchar_t* printed;
  };
  const Case cases[] = {
      {kPreflightScript, L"echo QV_PREFLIGHT;"},
      {kPreflightScript, L"echo QV_WSL_NOT_2; exit 11;"},
      {kPreflightScript, L"echo QV_NEED_TOOLS;"},
      {kPreflightScript, L"echo QV_DOCKER_OK;"},
      {kPreflightScript, L"echo QV_DOCKER_EXTERNAL;"},
      {kPreflightScript, L"echo QV_DOCKER_NATIVE;"},
      {kPreflightScript, L"echo QV_DOCKER_MISSING;"},
      {kPreflightScript, L"echo QV_UBUNTU;"},
      {kPreflightScript, L"printf 'QV_USER=%s\\n'"},
      {kPreflightScript, L"printf 'QV_DISTRO=%s\\n'"},
      {kDependencyScript, L"echo QV_DEPS_READY"},
      {kDependencyScript, L"exit 18;"},
      {kEnrollmentScript, L"echo QV_WSL_NOT_2; exit 11;"},
      {kEnrollmentScript, L"echo QV_PREREQUISITES; exit 12;"},
      {kEnrollmentScript, L"echo QV_DOCKER_UNAVAILABLE; exit 13;"},
      {kEnrollmentScript, L"echo QV_DOWNLOAD_FAILED; exit 14;"},
      {kEnrollmentScript, L"echo QV_INSTALL_RUNNING;"},
  };
  for (const Case& c : cases) {
    EXPECT_NE(nullptr, wcsstr(c.script, c.printed)) << Narrow(c.printed);
  }
}

TEST(ScriptText, ReadsItsInputInTheOrderTheWorkerWritesIt) {
  // The dependency input is user, tools flag, Docker mode; the payload is
  // base, token, name.
  struct Case {
    const wchar_t* script;
    const wchar_t* first;
    const wchar_t* second;
    const wchar_t* third;
  };
  const Case cases[] = {
      {kDependencyScript, L"IFS= read -r user;", L"IFS= read -r tools;", L"IFS= read -r docker_mode;"},
      {kEnrollmentScript, L"IFS= read -r QUENVALE_BASE;", L"IFS= read -r QUENVALE_ENROLL_TOKEN;",
       L"IFS= read -r QV_NAME;"},
  };
  for (const Case& c : cases) {
    const wchar_t* first = wcsstr(c.script, c.first);
    const wchar_t* second = wcsstr(c.script, c.second);
    const wchar_t* third = wcsstr(c.script, c.third);
    ASSERT_NE(nullptr, first);
    ASSERT_NE(nullptr, second);
    ASSERT_NE(nullptr, third);
    EXPECT_LT(first, second);
    EXPECT_LT(second, third);
  }
  // The Docker modes the worker sends are the words the script compares with.
  EXPECT_NE(nullptr, wcsstr(kDependencyScript, L"[ \\\"$docker_mode\\\" = install ]"));
  EXPECT_NE(nullptr, wcsstr(kDependencyScript, L"[ \\\"$docker_mode\\\" != none ]"));
  EXPECT_NE(nullptr, wcsstr(kDependencyScript, L"[ \\\"$tools\\\" = 1 ]"));
}

}  // namespace
