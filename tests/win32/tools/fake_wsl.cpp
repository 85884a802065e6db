// A stand-in for wsl.exe, steered by a tiny script of its own.
//
// The script is the text after `sh -c "` on the command line, up to the
// last double quote (it holds no quotes of its own), or, when the environment names one, FAKE_WSL_SCRIPT
// (the plain form "--list --quiet" and the shell's starts carry no script).
// Statements are separated by "; " and run in order:
//
//   exit N              end with exit code N (decimal, or 0x hexadecimal)
//   stdout | stderr     where the following output goes (stdout at first)
//   hex HEX             write these bytes, in one write
//   pattern COUNT SIZE  write the first COUNT bytes of PatternByte, SIZE a write
//   widepattern COUNT SIZE  the same COUNT bytes as UTF-16LE units, SIZE
//                       bytes (not units) a write
//   echo                copy standard input to the output until end of input
//   argv                write the whole command line, four hex digits a unit
//   touch PATH          create the file PATH
//   rem ANYTHING        nothing
//
// Any other statement ends the program with exit code 0xBAD. Without an exit
// statement the exit code is 0. When FAKE_WSL_LOG names a file, every start
// first appends its arguments (the command line without the program name)
// and a line feed to it.

#include <windows.h>
#include <wchar.h>

#include "output_pattern.h"

namespace {

const DWORD kBadStatement = 0xBAD;

HANDLE g_output = nullptr;
unsigned char g_buffer[1 << 20];
wchar_t g_environment_script[32768];

void WriteAll(const void* bytes, DWORD count) {
  const unsigned char* next = static_cast<const unsigned char*>(bytes);
  while (count > 0) {
    DWORD written = 0;
    if (!WriteFile(g_output, next, count, &written, nullptr) || written == 0) ExitProcess(0xDEAD);
    next += written;
    count -= written;
  }
}

int HexDigit(wchar_t unit) {
  if (unit >= L'0' && unit <= L'9') return unit - L'0';
  if (unit >= L'a' && unit <= L'f') return unit - L'a' + 10;
  if (unit >= L'A' && unit <= L'F') return unit - L'A' + 10;
  return -1;
}

bool StartsWith(const wchar_t* text, size_t length, const wchar_t* word) {
  const size_t word_length = wcslen(word);
  return length >= word_length && wcsncmp(text, word, word_length) == 0;
}

// The command line after the program name and the blanks that follow it.
const wchar_t* Arguments(const wchar_t* line) {
  if (*line == L'"') {
    ++line;
    while (*line != 0 && *line != L'"') ++line;
    if (*line == L'"') ++line;
  } else {
    while (*line != 0 && *line != L' ' && *line != L'\t') ++line;
  }
  while (*line == L' ' || *line == L'\t') ++line;
  return line;
}

void AppendToLog(const wchar_t* arguments) {
  wchar_t log_path[MAX_PATH];
  const DWORD length = GetEnvironmentVariableW(L"FAKE_WSL_LOG", log_path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return;
  HANDLE log = CreateFileW(log_path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  if (log == INVALID_HANDLE_VALUE) ExitProcess(0xDEAD);
  DWORD count = 0;
  for (; arguments[count] != 0 && count < sizeof g_buffer - 1; ++count) {
    g_buffer[count] = static_cast<unsigned char>(arguments[count]);
  }
  g_buffer[count++] = '\n';
  DWORD written = 0;
  WriteFile(log, g_buffer, count, &written, nullptr);
  CloseHandle(log);
}

void WriteHex(const wchar_t* digits, size_t length) {
  if (length % 2 != 0 || length / 2 > sizeof g_buffer) ExitProcess(kBadStatement);
  DWORD count = 0;
  for (size_t i = 0; i < length; i += 2) {
    const int high = HexDigit(digits[i]);
    const int low = HexDigit(digits[i + 1]);
    if (high < 0 || low < 0) ExitProcess(kBadStatement);
    g_buffer[count++] = static_cast<unsigned char>(high * 16 + low);
  }
  WriteAll(g_buffer, count);
}

// COUNT bytes of the pattern, SIZE bytes a write; `wide` makes every byte a
// UTF-16LE unit, so COUNT bytes become 2 * COUNT.
void WritePattern(const wchar_t* arguments, bool wide) {
  wchar_t* rest = nullptr;
  const unsigned long total = wcstoul(arguments, &rest, 0) * (wide ? 2 : 1);
  const unsigned long size = wcstoul(rest, nullptr, 0);
  if (size == 0 || size > sizeof g_buffer) ExitProcess(kBadStatement);
  for (unsigned long offset = 0; offset < total;) {
    const unsigned long count = total - offset < size ? total - offset : size;
    for (unsigned long i = 0; i < count; ++i) {
      const unsigned long at = offset + i;
      g_buffer[i] = !wide ? PatternByte(at) : at % 2 == 0 ? PatternByte(at / 2) : 0;
    }
    WriteAll(g_buffer, count);
    offset += count;
  }
}

void Echo() {
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  DWORD count = 0;
  while (ReadFile(input, g_buffer, sizeof g_buffer, &count, nullptr) && count > 0) WriteAll(g_buffer, count);
}

void WriteCommandLine() {
  static const char kDigits[] = "0123456789abcdef";
  const wchar_t* line = GetCommandLineW();
  DWORD count = 0;
  for (; *line != 0; ++line) {
    if (count + 4 > sizeof g_buffer) ExitProcess(kBadStatement);
    const unsigned unit = static_cast<unsigned>(*line);
    for (int shift = 12; shift >= 0; shift -= 4) g_buffer[count++] = kDigits[(unit >> shift) & 15];
  }
  WriteAll(g_buffer, count);
}

void Touch(const wchar_t* path, size_t length) {
  wchar_t name[MAX_PATH];
  if (length == 0 || length >= MAX_PATH) ExitProcess(kBadStatement);
  wmemcpy(name, path, length);
  name[length] = 0;
  HANDLE file = CreateFileW(name, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) ExitProcess(0xDEAD);
  CloseHandle(file);
}

void RunStatement(const wchar_t* statement, size_t length) {
  const wchar_t* argument = statement;
  size_t argument_length = length;
  const auto Takes = [&](const wchar_t* word) {
    if (!StartsWith(statement, length, word)) return false;
    const size_t word_length = wcslen(word);
    argument = statement + word_length;
    argument_length = length - word_length;
    return true;
  };
  if (Takes(L"exit ")) {
    ExitProcess(static_cast<UINT>(wcstoul(argument, nullptr, 0)));
  } else if (length == 6 && Takes(L"stdout")) {
    g_output = GetStdHandle(STD_OUTPUT_HANDLE);
  } else if (length == 6 && Takes(L"stderr")) {
    g_output = GetStdHandle(STD_ERROR_HANDLE);
  } else if (Takes(L"hex ")) {
    WriteHex(argument, argument_length);
  } else if (Takes(L"pattern ")) {
    WritePattern(argument, false);
  } else if (Takes(L"widepattern ")) {
    WritePattern(argument, true);
  } else if (length == 4 && Takes(L"echo")) {
    Echo();
  } else if (length == 4 && Takes(L"argv")) {
    WriteCommandLine();
  } else if (Takes(L"touch ")) {
    Touch(argument, argument_length);
  } else if (Takes(L"rem")) {
  } else {
    ExitProcess(kBadStatement);
  }
}

// The script, and its length: up to the command line's last double quote.
const wchar_t* FindScript(const wchar_t* line, size_t* length) {
  const DWORD from_environment =
      GetEnvironmentVariableW(L"FAKE_WSL_SCRIPT", g_environment_script, 32768);
  if (from_environment > 0 && from_environment < 32768) {
    *length = from_environment;
    return g_environment_script;
  }
  const wchar_t* start = wcsstr(line, L"sh -c \"");
  if (start == nullptr) {
    *length = 0;
    return line;
  }
  start += 7;
  const wchar_t* end = wcsrchr(start, L'"');
  *length = end == nullptr ? wcslen(start) : static_cast<size_t>(end - start);
  return start;
}

}  // namespace

int wmain() {
  g_output = GetStdHandle(STD_OUTPUT_HANDLE);
  const wchar_t* line = GetCommandLineW();
  AppendToLog(Arguments(line));

  size_t length = 0;
  const wchar_t* script = FindScript(line, &length);
  size_t start = 0;
  while (start < length) {
    size_t end = start;
    while (end < length && !(script[end] == L';' && end + 1 < length && script[end + 1] == L' ')) ++end;
    if (end > start) RunStatement(script + start, end - start);
    start = end + 2;
  }
  return 0;
}
