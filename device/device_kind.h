// Whether the module's device says it is a Direct3D 9Ex device.
#pragma once

#include "platform/d3d9_api.h"

// IID_IDirect3DDevice9Ex of d3d9.h, spelled out so that no GUID library is
// linked for it.
extern const IID kIidDirect3DDevice9Ex;

// True when device answers QueryInterface for IDirect3DDevice9Ex (the
// reference it hands out is released at once). A wrapper around a 9Ex device
// may not answer; callers must not rely on a false answer alone.
bool answers_as_9ex(IDirect3DDevice9* device);
