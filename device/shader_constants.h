// A run of float4 shader constant registers.
#pragma once

#include "platform/d3d9_api.h"

// Registers first .. first + count - 1; count 0 names none.
struct RegisterRange {
    UINT first = 0;
    UINT count = 0;
};
