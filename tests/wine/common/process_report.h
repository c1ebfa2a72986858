// The process a Windows test program runs in, as one line:
//   "process: N-byte pointers, IsWow64Process TRUE|FALSE"
// A 32-bit program under 64-bit Windows, or under Wine's WoW64 mode (32-bit
// code in a 64-bit Linux process), has 4-byte pointers and IsWow64Process
// TRUE; under 32-bit Wine, FALSE.
#pragma once

#include <windows.h>

#include <cstdio>

inline void print_process_report() {
    BOOL wow64 = FALSE;
    if (!IsWow64Process(GetCurrentProcess(), &wow64)) wow64 = FALSE;
    std::printf("process: %u-byte pointers, IsWow64Process %s\n",
                static_cast<unsigned>(sizeof(void*)), wow64 ? "TRUE" : "FALSE");
    std::fflush(stdout);
}
