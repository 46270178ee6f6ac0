#pragma once
// How many handles a process holds. Wine answers GetProcessHandleCount with 0, so
// the count comes from the system handle list (SystemHandleInformation), which
// lists every process's handles, when that call gives nothing.

#include <windows.h>

#include <vector>

namespace quillon_test {

// 0 when neither way works.
inline DWORD ProcessHandleCount(DWORD pid) {
  DWORD count = 0;
  if (pid == GetCurrentProcessId() && GetProcessHandleCount(GetCurrentProcess(), &count) && count)
    return count;
  if (HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, pid)) {
    BOOL ok = GetProcessHandleCount(process, &count);
    CloseHandle(process);
    if (ok && count) return count;
  }
  struct Entry {
    ULONG ownerPid;
    BYTE objectType;
    BYTE flags;
    USHORT value;
    PVOID object;
    ACCESS_MASK access;
  };
  using QueryFn = LONG(WINAPI*)(ULONG, PVOID, ULONG, PULONG);
  auto query = reinterpret_cast<QueryFn>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
  if (!query) return 0;
  std::vector<BYTE> buffer(1 << 16);
  ULONG needed = 0;
  LONG status;
  while ((status = query(16, buffer.data(), static_cast<ULONG>(buffer.size()), &needed)) ==
         static_cast<LONG>(0xC0000004)) {  // STATUS_INFO_LENGTH_MISMATCH
    buffer.resize(buffer.size() * 2);
  }
  if (status < 0) return 0;
  ULONG entries = *reinterpret_cast<ULONG*>(buffer.data());
  const Entry* entry = reinterpret_cast<const Entry*>(buffer.data() + sizeof(ULONG_PTR));
  count = 0;
  for (ULONG i = 0; i < entries; ++i) count += entry[i].ownerPid == pid;
  return count;
}

inline DWORD HandleCount() { return ProcessHandleCount(GetCurrentProcessId()); }

}  // namespace quillon_test
