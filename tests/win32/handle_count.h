// How many handles this process holds, as the system's handle list counts
// them: GetProcessHandleCount succeeds under Wine 8 but always says 0.
// Link with ntdll.
#pragma once

#include <windows.h>
#include <winternl.h>

#include <vector>

inline long SystemListHandleCount() {
  struct SystemHandleEntry {
    ULONG process_id;
    BYTE object_type;
    BYTE flags;
    USHORT value;
    PVOID object;
    ULONG access;
  };
  struct SystemHandleList {
    ULONG count;
    SystemHandleEntry entries[1];
  };
  const int kSystemHandleInformation = 16;
  const NTSTATUS kLengthMismatch = static_cast<NTSTATUS>(0xC0000004L);

  std::vector<unsigned char> buffer(1u << 20);
  for (;;) {
    ULONG returned = 0;
    const NTSTATUS status =
        NtQuerySystemInformation(static_cast<SYSTEM_INFORMATION_CLASS>(kSystemHandleInformation), buffer.data(),
                                 static_cast<ULONG>(buffer.size()), &returned);
    if (status == kLengthMismatch && buffer.size() < (64u << 20)) {
      buffer.resize(buffer.size() * 2);
      continue;
    }
    if (status != 0) return -1;
    break;
  }
  const SystemHandleList* list = reinterpret_cast<const SystemHandleList*>(buffer.data());
  const ULONG self = GetCurrentProcessId();
  long count = 0;
  for (ULONG i = 0; i < list->count; ++i) {
    if (list->entries[i].process_id == self) ++count;
  }
  return count;
}
