#include "core/probe_report.h"

#include <string.h>

#include "core/text_buffer.h"

// The first occurrence of `word` in the captured text, which ends at its
// terminator or, should that be missing, at the capture's last byte.
static const char* FindInCapture(const CommandCapture* capture, const char* word) {
  const char* text = capture->text;
  const size_t word_length = ByteLength(word);
  size_t text_length = 0;
  while (text_length < kCaptureCapacity - 1 && text[text_length] != 0) ++text_length;
  for (size_t at = 0; at + word_length <= text_length; ++at) {
    if (memcmp(text + at, word, word_length) == 0) return text + at;
  }
  return nullptr;
}

bool HasMarker(const CommandCapture* capture, const char* marker) {
  return FindInCapture(capture, marker) != nullptr;
}

// The value after the first `prefix`, up to CR, LF or the end of the text.
static bool FindLineValue(const CommandCapture* capture, const char* prefix, const char** value,
                          size_t* length) {
  const char* found = FindInCapture(capture, prefix);
  if (found == nullptr) return false;
  *value = found + ByteLength(prefix);
  const char* end = capture->text + kCaptureCapacity - 1;
  *length = 0;
  while (*value + *length < end && (*value)[*length] != 0 && (*value)[*length] != '\r' &&
         (*value)[*length] != '\n') {
    ++*length;
  }
  return true;
}

static bool IsUserByte(char byte) {
  return (byte >= '0' && byte <= '9') || (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') ||
         byte == '_' || byte == '-';
}

bool ReadUser(const CommandCapture* capture, char (&user)[kUserNameCapacity]) {
  const char* value = nullptr;
  size_t length = 0;
  if (!FindLineValue(capture, "QV_USER=", &value, &length)) return false;
  if (length < 1 || length > kUserNameCapacity - 1 || value[0] == '-') return false;
  for (size_t i = 0; i < length; ++i) {
    if (!IsUserByte(value[i])) return false;
  }
  memcpy(user, value, length);
  user[length] = 0;
  return true;
}

bool ReadDistribution(EnrollmentJob* job, const CommandCapture* capture) {
  if (job->distro[0] != 0) return true;
  const char* value = nullptr;
  size_t length = 0;
  if (!FindLineValue(capture, "QV_DISTRO=", &value, &length)) return false;
  if (length < 1 || length > kDistroCapacity - 1) return false;
  for (size_t i = 0; i < length; ++i) {
    const unsigned byte = static_cast<unsigned char>(value[i]);
    if (!IsDistroNameUnit(byte)) return false;
    job->distro[i] = static_cast<wchar_t>(byte);
  }
  job->distro[length] = 0;
  return true;
}

Outcome ClassifyEnrollmentRun(const CommandCapture* capture) {
  static const struct {
    const char* marker;
    Outcome outcome;
  } kRules[] = {
      {"QV_WSL_NOT_2", E_WSL_VERSION},      {"QV_PREREQUISITES", E_PREREQUISITE},
      {"E_PYTHON_MISSING", E_PREREQUISITE}, {"QV_DOCKER_UNAVAILABLE", E_DOCKER_NOT_READY},
      {"QV_DOWNLOAD_FAILED", E_DOWNLOAD},   {"E_TOKEN_", E_TOKEN},
  };
  for (const auto& rule : kRules) {
    if (HasMarker(capture, rule.marker)) return rule.outcome;
  }
  return E_INSTALL;
}
