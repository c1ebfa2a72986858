// The float constant registers a shader's bytecode says it reads, from the
// constant table ("CTAB" comment) a compiler puts in front of its code.
#pragma once

#include "platform/d3d9_api.h"

// Registers first .. first + count - 1; count 0 names none.
struct RegisterRange {
    UINT first = 0;
    UINT count = 0;
};

// The smallest range holding every float4 constant of the shader's constant
// table. False when there is no code, no table, or the table is malformed;
// a table without float4 constants gives true and an empty range. Reads at
// most max_tokens DWORDs of code.
bool float_constant_range(const DWORD* code, RegisterRange* out, UINT max_tokens = 65536);
