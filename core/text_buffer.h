// Bounded text helpers over fixed-size buffers. Every writer knows its
// destination's capacity, never writes past it, always terminates, and keeps
// counting the length the whole output would need, so a caller can tell a
// truncated result from a complete one.
#pragma once

#include <stddef.h>

template <typename T, size_t N>
constexpr size_t dimof(T (&)[N]) {
  return N;
}

size_t WideLength(const wchar_t* text);
size_t ByteLength(const char* text);

// True when the first `length` units of `text` are exactly `word` (and
// `word` has that many units).
bool WideSpanEquals(const wchar_t* text, size_t length, const wchar_t* word);
// ASCII letters compared without case; every other unit must match exactly.
bool WideEqualsAsciiNoCase(const wchar_t* a, const wchar_t* b);

// Wide output: UTF-16 text on Windows.
struct WideWriter {
  wchar_t* data;
  size_t capacity;  // units, terminator included
  size_t needed;    // units the whole output needs, terminator excluded
};

void WideWriterStart(WideWriter* writer, wchar_t* data, size_t capacity);
void WideWriterAppend(WideWriter* writer, const wchar_t* text);
// True when everything appended so far fit, within `max_length` units.
bool WideWriterComplete(const WideWriter* writer, size_t max_length);

// 8-bit output: script input.
struct ByteWriter {
  char* data;
  size_t capacity;  // bytes, terminator included
  size_t needed;    // bytes the whole output needs, terminator excluded
};

void ByteWriterStart(ByteWriter* writer, char* data, size_t capacity);
void ByteWriterAppendBytes(ByteWriter* writer, const char* bytes, size_t count);
void ByteWriterAppendText(ByteWriter* writer, const char* text);
// Appends `length` wide units one byte each; callers pass only ASCII.
void ByteWriterAppendNarrowed(ByteWriter* writer, const wchar_t* text, size_t length);
void ByteWriterAppendUnsigned(ByteWriter* writer, unsigned value);
bool ByteWriterComplete(const ByteWriter* writer, size_t max_length);
