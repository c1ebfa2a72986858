// The one header through which module code reaches Direct3D 9, D3DX 9 and the
// Win32 message box. On Windows it is the real SDK; elsewhere the portable
// declaration of the same names, implemented by the software device.
#pragma once

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <d3d9.h>
#include <d3dx9.h>
#else
#include "platform/portable/d3d9_portable.h"
#endif
