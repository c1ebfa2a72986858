#include "device/device_context.h"

IDirect3DDevice9* g_device = nullptr;

void show_error_message(const char* text) { MessageBoxA(nullptr, text, "error", MB_OK); }
