// lightvol_msvc_helper.dll: what the MSVC-ABI test host needs from Windows and
// Direct3D 9, built by MinGW and exported as plain C functions, so that the
// host itself includes no Windows or Direct3D header and needs no C runtime.
// The calling convention is spelled out: a host built with another default
// convention still calls these right.
#pragma once

#include <stdint.h>

#if defined(_MSC_VER) || defined(__MINGW32__)
#define LVH_CALL __cdecl
#else
#define LVH_CALL
#endif

#if defined(LIGHTVOL_MSVC_HELPER_BUILDING)
#define LVH_API __declspec(dllexport)
#else
#define LVH_API __declspec(dllimport)
#endif

struct IDirect3DDevice9;
struct IDirect3DTexture9;

#ifdef __cplusplus
extern "C" {
#endif

// A HAL device on a hidden window with the host's own target and depth
// surface, and a watcher that closes message boxes. 0 on success.
LVH_API int32_t LVH_CALL lvh_start(void);
LVH_API void LVH_CALL lvh_stop(void);
LVH_API struct IDirect3DDevice9* LVH_CALL lvh_device(void);
// A line of text describing the last failure of lvh_start or lvh_reset.
LVH_API const char* LVH_CALL lvh_error(void);

LVH_API int32_t LVH_CALL lvh_begin_scene(void);
LVH_API int32_t LVH_CALL lvh_end_scene(void);
// IDirect3DDevice9::SetRenderState on the device.
LVH_API int32_t LVH_CALL lvh_set_render_state(int32_t state, int32_t value);
// Releases the host's default-pool surfaces, resets the device with its
// creation parameters and makes them again: the HRESULT of Reset.
LVH_API int32_t LVH_CALL lvh_reset(void);
// The device's COM reference count.
LVH_API uint32_t LVH_CALL lvh_device_refs(void);
// Message boxes closed since the previous call.
LVH_API uint32_t LVH_CALL lvh_message_boxes(void);

// Reads level 0 of a render-target texture back; 0 on success, with its size.
// lvh_texel then gives texel (x, y) as 0x00RRGGBB (0xFFFFFFFF outside).
LVH_API int32_t LVH_CALL lvh_read_texture(struct IDirect3DTexture9* texture, uint32_t* width,
                                          uint32_t* height);
LVH_API uint32_t LVH_CALL lvh_texel(uint32_t x, uint32_t y);

#ifdef __cplusplus
}
#endif
