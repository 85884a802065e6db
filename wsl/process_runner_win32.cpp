#include "wsl/process_runner.h"

#include <windows.h>

#include "core/text_buffer.h"
#include "core/wipe.h"
#include "wsl/scripts.h"

namespace {

// Closes one pipe end if it is open and marks it closed, so that the run's
// last step can close whatever is left without knowing how far it got.
void ClosePipeEnd(HANDLE* end) {
  if (*end != nullptr) {
    CloseHandle(*end);
    *end = nullptr;
  }
}

// An anonymous pipe whose two ends a child could inherit; on failure both
// ends stay null.
bool OpenInheritablePipe(HANDLE* read_end, HANDLE* write_end) {
  SECURITY_ATTRIBUTES attributes = {};
  attributes.nLength = sizeof attributes;
  attributes.lpSecurityDescriptor = nullptr;
  attributes.bInheritHandle = TRUE;
  HANDLE read_handle = nullptr;
  HANDLE write_handle = nullptr;
  if (!CreatePipe(&read_handle, &write_handle, &attributes, 0)) return false;
  *read_end = read_handle;
  *write_end = write_handle;
  return true;
}

// N.B. A child inherits every inheritable handle of ours, not just the three
// it is handed. Were it to inherit the write end of its own input, its input
// would never reach end of file, however early we close our copy; the read
// end of the output has no business in the child either. Only the child's
// ends stay inheritable.
bool KeepFromChild(HANDLE end) {
  return SetHandleInformation(end, HANDLE_FLAG_INHERIT, 0) != 0;
}

// N.B. CreateProcessW may write into the command line it is given, so
// `command_line` must be a buffer of ours, never a literal.
bool StartChild(const wchar_t* wsl_path, wchar_t* command_line, HANDLE input, HANDLE output,
                PROCESS_INFORMATION* child) {
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = input;
  startup.hStdOutput = output;
  startup.hStdError = output;
  // The structure is filled only when the call succeeds.
  PROCESS_INFORMATION started = {};
  if (!CreateProcessW(wsl_path, command_line, nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr,
                      &startup, &started)) {
    return false;
  }
  *child = started;
  return true;
}

// N.B. One write before any output is read: the payloads are a few hundred
// bytes, well inside the pipe's buffer, so this write never waits for a
// child that is itself waiting for us to read its output.
bool WritePayload(HANDLE input, const char* payload) {
  if (payload == nullptr) return true;
  const size_t length = ByteLength(payload);
  if (length > MAXDWORD) return false;
  DWORD written = 0;
  const bool wrote = WriteFile(input, payload, static_cast<DWORD>(length), &written, nullptr) != 0;
  return wrote && written == length;
}

// Reads until end of file, which comes once the child and everything that
// inherited its output have closed it; a failed read ends the reading too.
void DrainOutput(HANDLE output, unsigned char (&chunk)[kReadChunkSize], CommandCapture* capture) {
  size_t used = 0;
  DWORD count = 0;
  while (ReadFile(output, chunk, static_cast<DWORD>(sizeof chunk), &count, nullptr) && count > 0) {
    AppendChunk(capture, &used, chunk, count);
  }
}

}  // namespace

bool RunWsl(const wchar_t* wsl_path, const wchar_t* distro, const wchar_t* extra, const wchar_t* script,
            const char* payload, CommandCapture* capture) {
  wchar_t command_line[kCommandLineCapacity];
  // Refused before anything exists: the capture keeps the previous run's text.
  if (!BuildCommandLine(distro, extra, script, command_line)) return false;
  ClearCapture(capture);

  HANDLE input_read = nullptr;    // the child's standard input; closed here once the child has it
  HANDLE input_write = nullptr;   // ours: the payload goes in here
  HANDLE output_read = nullptr;   // ours: the child's output comes out here
  HANDLE output_write = nullptr;  // the child's standard output and error; closed here once it has them
  PROCESS_INFORMATION child = {};
  unsigned char chunk[kReadChunkSize];
  bool payload_written = false;
  bool exit_code_read = false;

  const bool started = OpenInheritablePipe(&input_read, &input_write) &&
                       OpenInheritablePipe(&output_read, &output_write) && KeepFromChild(input_write) &&
                       KeepFromChild(output_read) &&
                       StartChild(wsl_path, command_line, input_read, output_write, &child);
  if (started) {
    // N.B. End of file on the output arrives only when every write end is
    // closed: our copy of the child's end would hold it open for ever.
    ClosePipeEnd(&input_read);
    ClosePipeEnd(&output_write);

    payload_written = WritePayload(input_write, payload);
    // The child sees the end of its input.
    ClosePipeEnd(&input_write);

    // N.B. Drain the output before waiting: a child that fills the pipe's
    // buffer blocks until we read, and would never end while we waited.
    DrainOutput(output_read, chunk, capture);

    WaitForSingleObject(child.hProcess, INFINITE);
    DWORD exit_code = 0;
    exit_code_read = GetExitCodeProcess(child.hProcess, &exit_code) != 0;
    if (exit_code_read) capture->exit_code = exit_code;
  }

  if (child.hThread != nullptr) CloseHandle(child.hThread);
  if (child.hProcess != nullptr) CloseHandle(child.hProcess);
  Wipe(chunk, sizeof chunk);
  ClosePipeEnd(&input_read);
  ClosePipeEnd(&input_write);
  ClosePipeEnd(&output_read);
  ClosePipeEnd(&output_write);
  return exit_code_read && payload_written;
}
