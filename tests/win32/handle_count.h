// How many handles this process holds, as the system's handle list counts
// them: GetProcessHandleCount succeeds under Wine 8 but always says 0. The
// extended list, because the plain one keeps only 16 bits of each process
// id, and on Windows ids above 65535 are common. Link with ntdll.
#pragma once

#include <windows.h>
#include <winternl.h>

#include <vector>

inline long SystemListHandleCount() {
  struct SystemHandleEntry {
    PVOID object;
    ULONG_PTR process_id;
    ULONG_PTR value;
    ULONG access;
    USHORT creator_back_trace;
    USHORT object_type;
    ULONG attributes;
    ULONG reserved;
  };
  struct SystemHandleList {
    ULONG_PTR count;
    ULONG_PTR reserved;
    SystemHandleEntry entries[1];
  };
  const int kSystemExtendedHandleInformation = 64;
  const NTSTATUS kLengthMismatch = static_cast<NTSTATUS>(0xC0000004L);

  // A Windows desktop holds a hundred thousand handles and more.
  std::vector<unsigned char> buffer(4u << 20);
  for (;;) {
    ULONG returned = 0;
    const NTSTATUS status =
        NtQuerySystemInformation(static_cast<SYSTEM_INFORMATION_CLASS>(kSystemExtendedHandleInformation),
                                 buffer.data(), static_cast<ULONG>(buffer.size()), &returned);
    if (status == kLengthMismatch && buffer.size() < (256u << 20)) {
      buffer.resize(buffer.size() * 2);
      continue;
    }
    if (status != 0) return -1;
    break;
  }
  const SystemHandleList* list = reinterpret_cast<const SystemHandleList*>(buffer.data());
  const ULONG_PTR self = GetCurrentProcessId();
  long count = 0;
  for (ULONG_PTR i = 0; i < list->count; ++i) {
    if (list->entries[i].process_id == self) ++count;
  }
  return count;
}
