// The child of the capture benchmark: writes 64 MiB to its standard output
// in 64 KiB writes, non-zero bytes only, the last line being QV_FLOOD_END.
// Exit code 0 only when every byte was written.
#include <windows.h>

#include <string.h>

namespace {

constexpr DWORD kWriteSize = 64 * 1024;
constexpr DWORD kTotal = 64u * 1024 * 1024;
constexpr char kEndLine[] = "QV_FLOOD_END\n";

char g_block[kWriteSize];

}  // namespace

int wmain() {
  // Text-like lines of 64 bytes: what a long, chatty install looks like to
  // the reader.
  for (DWORD i = 0; i < kWriteSize; ++i) g_block[i] = (i % 64 == 63) ? '\n' : static_cast<char>('a' + i % 26);

  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  for (DWORD sent = 0; sent < kTotal; sent += kWriteSize) {
    if (sent + kWriteSize == kTotal) {
      memcpy(g_block + kWriteSize - (sizeof kEndLine - 1), kEndLine, sizeof kEndLine - 1);
    }
    DWORD written = 0;
    if (!WriteFile(out, g_block, kWriteSize, &written, nullptr) || written != kWriteSize) return 1;
  }
  return 0;
}
