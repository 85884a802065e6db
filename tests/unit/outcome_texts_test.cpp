// The outcome messages, the questions, the progress texts and the other
// texts of the window.
#include <gtest/gtest.h>

#include <limits.h>
#include <wchar.h>

#include <string>
#include <vector>

#include "core/outcome.h"
#include "tests/unit/test_support.h"

namespace {

using qvtest::Wide;

struct NamedOutcome {
  unsigned code;
  unsigned value;  // the enumerator of that name
  const char* name;
};

#define QV_NAMED_OUTCOME(code, name, text) {code, name, #name},
const NamedOutcome kNamedOutcomes[] = {QV_OUTCOME_LIST(QV_NAMED_OUTCOME)};
#undef QV_NAMED_OUTCOME

const wchar_t kFullwidthColon = L'\uFF1A';
const wchar_t kIdeographicFullStop = L'\u3002';
const wchar_t kMiddleDot = L'\u00B7';

bool StartsWith(const wchar_t* text, const std::wstring& prefix) {
  return wcsncmp(text, prefix.c_str(), prefix.size()) == 0;
}

TEST(OutcomeMessage, EachOfTheFifteenCodesHasItsOwnText) {
  ASSERT_EQ(15u, sizeof kNamedOutcomes / sizeof kNamedOutcomes[0]);
  for (unsigned code = 0; code < 15; ++code) {
    EXPECT_EQ(code, kNamedOutcomes[code].code);
    EXPECT_EQ(code, kNamedOutcomes[code].value) << kNamedOutcomes[code].name;
    const wchar_t* message = OutcomeMessage(code);
    ASSERT_NE(nullptr, message) << code;
    EXPECT_GT(wcslen(message), 10u) << code;
    for (unsigned other = 0; other < code; ++other) {
      EXPECT_NE(0, wcscmp(message, OutcomeMessage(other))) << code << " and " << other;
    }
  }
}

TEST(OutcomeMessage, OfAnErrorStartsWithItsNameAndAFullwidthColon) {
  for (const NamedOutcome& outcome : kNamedOutcomes) {
    const std::string name = outcome.name;
    const wchar_t* message = OutcomeMessage(outcome.code);
    if (name.compare(0, 2, "E_") == 0) {
      EXPECT_TRUE(StartsWith(message, Wide(name) + kFullwidthColon)) << name;
      // The name appears once, at the start, and the colon is never ASCII.
      EXPECT_EQ(nullptr, wcschr(message, L':')) << name;
      EXPECT_EQ(nullptr, wcsstr(message + name.size(), Wide(name).c_str())) << name;
    } else {
      ASSERT_EQ(0, name.compare(0, 2, "S_")) << name;
      // Success texts carry no code in front.
      EXPECT_FALSE(StartsWith(message, L"E_")) << name;
      EXPECT_FALSE(StartsWith(message, L"S_")) << name;
      EXPECT_EQ(nullptr, wcschr(message, kFullwidthColon)) << name;
    }
    // Every status message is one or more whole sentences.
    EXPECT_EQ(kIdeographicFullStop, message[wcslen(message) - 1]) << name;
  }
}

TEST(OutcomeMessage, OfCodeFifteenOrMoreIsTheStartFailureText) {
  const wchar_t* start = OutcomeMessage(E_START);
  ASSERT_TRUE(StartsWith(start, std::wstring(L"E_START") + kFullwidthColon));
  for (unsigned code : {15u, 16u, 99u, 255u, 0x8001u, UINT_MAX - 1, UINT_MAX}) {
    ASSERT_NE(nullptr, OutcomeMessage(code)) << code;
    EXPECT_EQ(0, wcscmp(start, OutcomeMessage(code))) << code;
  }
  // Code 14 is still its own.
  EXPECT_NE(0, wcscmp(start, OutcomeMessage(14)));
}

TEST(PromptQuestion, ExistsOnlyForKindsOneToFour) {
  for (unsigned kind : {0u, 5u, 6u, 15u, 99u, 0x8002u, UINT_MAX}) {
    EXPECT_EQ(nullptr, PromptQuestion(kind)) << kind;
  }
  for (unsigned kind = 1; kind <= 4; ++kind) {
    ASSERT_NE(nullptr, PromptQuestion(kind)) << kind;
    for (unsigned other = 1; other < kind; ++other) {
      EXPECT_NE(0, wcscmp(PromptQuestion(kind), PromptQuestion(other))) << kind << " and " << other;
    }
  }
}

TEST(PromptQuestion, AsksAboutWhatItsKindInstalls) {
  struct Case {
    PromptKind kind;
    bool wsl;
    bool tools;
    bool docker;
  };
  const Case cases[] = {
      {PROMPT_INSTALL_WSL, true, false, false},
      {PROMPT_TOOLS, false, true, false},
      {PROMPT_DOCKER, false, false, true},
      {PROMPT_TOOLS_AND_DOCKER, false, true, true},
  };
  for (const Case& c : cases) {
    const wchar_t* question = PromptQuestion(c.kind);
    ASSERT_NE(nullptr, question);
    EXPECT_EQ(c.wsl, wcsstr(question, L"Microsoft") != nullptr) << c.kind;
    EXPECT_EQ(c.tools, wcsstr(question, L"curl") != nullptr) << c.kind;
    EXPECT_EQ(c.tools, wcsstr(question, L"Python 3") != nullptr) << c.kind;
    EXPECT_EQ(c.docker, wcsstr(question, L"Docker Engine") != nullptr) << c.kind;
    // Whoever is asked to join the docker group is told what it grants.
    EXPECT_EQ(c.docker, wcsstr(question, L"docker \u7EC4") != nullptr) << c.kind;
    EXPECT_EQ(c.docker, wcsstr(question, L"root") != nullptr) << c.kind;
  }
}

TEST(ProgressText, IsTheInstallerTextOnlyForKindOne) {
  const wchar_t* installer = ProgressText(PROMPT_INSTALL_WSL);
  ASSERT_NE(nullptr, installer);
  EXPECT_NE(nullptr, wcsstr(installer, L"Microsoft"));
  for (unsigned kind : {0u, 2u, 3u, 4u, 5u, 99u, UINT_MAX}) {
    const wchar_t* text = ProgressText(kind);
    ASSERT_NE(nullptr, text) << kind;
    EXPECT_EQ(0, wcscmp(kProgressDependencies, text)) << kind;
    EXPECT_NE(0, wcscmp(installer, text)) << kind;
    EXPECT_NE(nullptr, wcsstr(text, L"Ubuntu")) << kind;
  }
}

TEST(HeadingText, HasAMiddleDotWithTwoSpacesOnEachSide) {
  const std::wstring heading = kHeadingText;
  const size_t dot = heading.find(kMiddleDot);
  ASSERT_NE(std::wstring::npos, dot);
  EXPECT_EQ(std::wstring::npos, heading.find(kMiddleDot, dot + 1));
  ASSERT_GE(dot, 3u);
  ASSERT_LE(dot + 3, heading.size() - 1);
  EXPECT_EQ(std::wstring(L"  "), heading.substr(dot - 2, 2));
  EXPECT_EQ(std::wstring(L"  "), heading.substr(dot + 1, 2));
  EXPECT_NE(L' ', heading[dot - 3]);
  EXPECT_NE(L' ', heading[dot + 3]);
  EXPECT_EQ(std::wstring(L"Quenvale"), heading.substr(0, dot - 2));
}

std::vector<const wchar_t*> AllTexts() {
  std::vector<const wchar_t*> texts = {
      kPromptCaption,       kProgressWslInstaller, kProgressDependencies, kWindowTitle,
      kHeadingText,         kCodeLabelText,        kDistroLabelText,      kJoinButtonText,
      kWslGuideButtonText,  kDockerGuideButtonText, kStatusOpening,       kStatusStarted,
      kStatusInvalidCode,   kStatusInvalidDistro,  kStatusThreadFailed,   kBusyCloseCaption,
      kBusyCloseText,
  };
  for (unsigned code = 0; code < 15; ++code) texts.push_back(OutcomeMessage(code));
  for (unsigned kind = 1; kind <= 4; ++kind) texts.push_back(PromptQuestion(kind));
  return texts;
}

// Printable ASCII, CJK punctuation, CJK ideographs and fullwidth forms; the
// middle dot only in the heading. A source read in the wrong character set
// turns the Chinese into Latin-1 or C1 units, which this refuses.
bool IsExpectedUnit(wchar_t unit, bool heading) {
  const unsigned u = static_cast<unsigned>(unit);
  if (u >= 0x20 && u <= 0x7E) return true;
  if (u >= 0x3000 && u <= 0x303F) return true;
  if (u >= 0x4E00 && u <= 0x9FFF) return true;
  if (u >= 0xFF00 && u <= 0xFFEF) return true;
  return heading && u == 0x00B7;
}

TEST(UserTexts, HoldOnlyAsciiAndChineseUnitsAndFullwidthPunctuation) {
  for (const wchar_t* text : AllTexts()) {
    ASSERT_NE(nullptr, text);
    ASSERT_NE(0, text[0]);
    const bool heading = text == kHeadingText;
    for (size_t i = 0; text[i] != 0; ++i) {
      EXPECT_TRUE(IsExpectedUnit(text[i], heading))
          << "unit U+" << std::hex << static_cast<unsigned>(text[i]) << " at " << std::dec << i << " of "
          << qvtest::Narrow(text);
    }
    // Chinese sentences use fullwidth punctuation throughout.
    for (wchar_t ascii : {L':', L';', L',', L'(', L')', L'!', L'?'}) {
      EXPECT_EQ(nullptr, wcschr(text, ascii)) << qvtest::Narrow(text);
    }
    // No doubled or dangling spaces apart from the heading's.
    if (!heading) {
      EXPECT_EQ(nullptr, wcsstr(text, L"  ")) << qvtest::Narrow(text);
    }
    EXPECT_NE(L' ', text[0]) << qvtest::Narrow(text);
    EXPECT_NE(L' ', text[wcslen(text) - 1]) << qvtest::Narrow(text);
  }
}

TEST(UserTexts, LabelsEndInFullwidthPunctuation) {
  EXPECT_EQ(kFullwidthColon, kCodeLabelText[wcslen(kCodeLabelText) - 1]);
  // The distribution label's remark is in fullwidth parentheses.
  const std::wstring distro_label = kDistroLabelText;
  EXPECT_EQ(L'\uFF09', distro_label.back());
  EXPECT_NE(std::wstring::npos, distro_label.find(L'\uFF08'));
  EXPECT_NE(std::wstring::npos, distro_label.find(L"Ubuntu"));
}

}  // namespace
