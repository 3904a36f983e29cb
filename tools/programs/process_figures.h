// What a long run watches of its own process: handles, private memory and
// the bytes in use on one heap (the driver's).
#pragma once

#include <windows.h>
#include <psapi.h>
#include <winternl.h>
#include <vector>

// The handles of this process, from the system's handle list
// (GetOwnHandleCount answers 0 under Wine).
inline DWORD OwnHandleCount()
{
    typedef LONG(NTAPI * Query)(SYSTEM_INFORMATION_CLASS, PVOID, ULONG, PULONG);
    static Query query = reinterpret_cast<Query>(
        reinterpret_cast<void *>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
    std::vector<BYTE> buffer(1 << 16);  // doubled while too small
    while (query(SystemHandleInformation, buffer.data(), ULONG(buffer.size()), nullptr) == LONG(0xC0000004))
        buffer.resize(buffer.size() * 2);
    const SYSTEM_HANDLE_INFORMATION *list = reinterpret_cast<const SYSTEM_HANDLE_INFORMATION *>(buffer.data());
    DWORD count = 0, self = GetCurrentProcessId();
    for (ULONG i = 0; i < list->Count; ++i) count += list->Handle[i].OwnerPid == self;
    return count;
}

// Private bytes committed by this process. Wine fills PrivateUsage from
// the Unix process's swap use (0 without swap), so there the committed
// private regions of the address space are added up instead, which is what
// Windows counts.
inline SIZE_T PrivateBytes()
{
    PROCESS_MEMORY_COUNTERS_EX counters = {};
    counters.cb = sizeof counters;
    GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS *>(&counters),
                         sizeof counters);
    if (counters.PrivateUsage) return counters.PrivateUsage;
    SIZE_T bytes = 0;
    MEMORY_BASIC_INFORMATION region;
    for (const BYTE *at = nullptr; VirtualQuery(at, &region, sizeof region) == sizeof region;
         at = static_cast<const BYTE *>(region.BaseAddress) + region.RegionSize)
        if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE) bytes += region.RegionSize;
    return bytes;
}

// Bytes in busy blocks of a heap, and how many blocks.
inline SIZE_T HeapBusyBytes(HANDLE heap, size_t *blocks = nullptr)
{
    SIZE_T bytes = 0;
    size_t count = 0;
    PROCESS_HEAP_ENTRY entry = {};
    HeapLock(heap);
    while (HeapWalk(heap, &entry)) {
        if (!(entry.wFlags & PROCESS_HEAP_ENTRY_BUSY)) continue;
        bytes += entry.cbData;
        ++count;
    }
    HeapUnlock(heap);
    if (blocks) *blocks = count;
    return bytes;
}
