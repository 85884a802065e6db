#include "core/outcome.h"

#define QV_TEXT_ENTRY(code, name, text) text,

static const wchar_t* const kOutcomeMessages[] = {QV_OUTCOME_LIST(QV_TEXT_ENTRY)};
static const wchar_t* const kPromptQuestions[] = {QV_PROMPT_LIST(QV_TEXT_ENTRY)};

#undef QV_TEXT_ENTRY

static_assert(sizeof kOutcomeMessages / sizeof kOutcomeMessages[0] == kOutcomeCount,
              "one message per outcome code");

const wchar_t* OutcomeMessage(unsigned code) {
  return kOutcomeMessages[code < kOutcomeCount ? code : E_START];
}

const wchar_t* PromptQuestion(unsigned kind) {
  if (kind < PROMPT_INSTALL_WSL || kind > PROMPT_TOOLS_AND_DOCKER) return nullptr;
  return kPromptQuestions[kind - PROMPT_INSTALL_WSL];
}

const wchar_t* ProgressText(unsigned kind) {
  return kind == PROMPT_INSTALL_WSL ? kProgressWslInstaller : kProgressDependencies;
}
