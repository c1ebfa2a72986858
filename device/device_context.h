// The host's Direct3D 9 device, shared by every device object of the module.
#pragma once

#include "platform/d3d9_api.h"

// Borrowed from the host by ILightingSystem::init: the module adds no reference
// to it and never releases it.
extern IDirect3DDevice9* g_device;

// Shows a failure message the way the module reports every refused creation:
// modal, no owner window, caption "error", one OK button.
void show_error_message(const char* text);
