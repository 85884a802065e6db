#include "core/text_buffer.h"

size_t WideLength(const wchar_t* text) {
  size_t length = 0;
  while (text[length] != 0) ++length;
  return length;
}

size_t ByteLength(const char* text) {
  size_t length = 0;
  while (text[length] != 0) ++length;
  return length;
}

bool WideSpanEquals(const wchar_t* text, size_t length, const wchar_t* word) {
  for (size_t i = 0; i < length; ++i) {
    if (word[i] == 0 || word[i] != text[i]) return false;
  }
  return word[length] == 0;
}

static wchar_t AsciiLower(wchar_t unit) {
  return (unit >= L'A' && unit <= L'Z') ? static_cast<wchar_t>(unit - L'A' + L'a') : unit;
}

bool WideEqualsAsciiNoCase(const wchar_t* a, const wchar_t* b) {
  size_t i = 0;
  for (; a[i] != 0 && b[i] != 0; ++i) {
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  }
  return a[i] == b[i];
}

void WideWriterStart(WideWriter* writer, wchar_t* data, size_t capacity) {
  writer->data = data;
  writer->capacity = capacity;
  writer->needed = 0;
  if (capacity > 0) data[0] = 0;
}

void WideWriterAppend(WideWriter* writer, const wchar_t* text) {
  for (size_t i = 0; text[i] != 0; ++i) {
    if (writer->needed + 1 < writer->capacity) {
      writer->data[writer->needed] = text[i];
      writer->data[writer->needed + 1] = 0;
    }
    ++writer->needed;
  }
}

bool WideWriterComplete(const WideWriter* writer, size_t max_length) {
  return writer->needed < writer->capacity && writer->needed <= max_length;
}

void ByteWriterStart(ByteWriter* writer, char* data, size_t capacity) {
  writer->data = data;
  writer->capacity = capacity;
  writer->needed = 0;
  if (capacity > 0) data[0] = 0;
}

void ByteWriterAppendBytes(ByteWriter* writer, const char* bytes, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    if (writer->needed + 1 < writer->capacity) {
      writer->data[writer->needed] = bytes[i];
      writer->data[writer->needed + 1] = 0;
    }
    ++writer->needed;
  }
}

void ByteWriterAppendText(ByteWriter* writer, const char* text) {
  ByteWriterAppendBytes(writer, text, ByteLength(text));
}

void ByteWriterAppendNarrowed(ByteWriter* writer, const wchar_t* text, size_t length) {
  for (size_t i = 0; i < length; ++i) {
    const char byte = static_cast<char>(text[i]);
    ByteWriterAppendBytes(writer, &byte, 1);
  }
}

void ByteWriterAppendUnsigned(ByteWriter* writer, unsigned value) {
  char digits[10];
  size_t count = 0;
  do {
    digits[count++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0 && count < dimof(digits));
  while (count > 0) ByteWriterAppendBytes(writer, &digits[--count], 1);
}

bool ByteWriterComplete(const ByteWriter* writer, size_t max_length) {
  return writer->needed < writer->capacity && writer->needed <= max_length;
}
