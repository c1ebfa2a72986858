// lightvol: many point lights rendered into a light volume through the host's
// Direct3D 9 device.
//
// This is the only header a host includes. It needs no Direct3D header: the two
// Direct3D interfaces it names are forward-declared, and the host passes and
// receives them as pointers.
//
// Calling order (one lighting system at a time, one thread):
//   create_ILightingSystem -> init -> set_volume -> set_base_layer
//   -> { lights, render, read get_light_map() } per frame
//   -> on_lost_device / IDirect3DDevice9::Reset / on_reset_device around a reset
//   -> release
#pragma once

#include <stddef.h>
#include <stdint.h>

struct IDirect3DDevice9;
struct IDirect3DTexture9;

#if defined(_WIN32)
#if defined(LIGHTVOL_BUILDING)
#define LIGHTVOL_API __declspec(dllexport)
#else
#define LIGHTVOL_API __declspec(dllimport)
#endif
#else
#if defined(LIGHTVOL_BUILDING)
#define LIGHTVOL_API __attribute__((visibility("default")))
#else
#define LIGHTVOL_API
#endif
#endif

// Three floats: a world position, a colour (red, green, blue), or an extent.
struct Vec3 {
    float x;
    float y;
    float z;
};

// What the host needs to sample the light map, read in place after each render.
//
// For a world point p inside the volume, per component:
//   t = (origin - p) * scale
// t.x is the position across one layer as a fraction of the whole texture width
// (0 at the volume's minimum x, 1 / depth at its maximum x), t.y the texture v
// coordinate (0 at the volume's maximum y, the top row), and t.z the layer
// coordinate (p.z - volume bottom) / cell_size, whose whole values are the
// layers. Subtracting L * layer_step from (t.x, t.y) moves them into layer L's
// strip. docs/sampling.hlsl shows a complete sampler.
struct LightMapInfo {
    IDirect3DTexture9* texture;  // the light map; null while it does not exist
    float layer_step[2];
    Vec3 origin;
    Vec3 scale;
};

#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(offsetof(LightMapInfo, texture) == 0, "LightMapInfo layout");
static_assert(offsetof(LightMapInfo, layer_step) == 4, "LightMapInfo layout");
static_assert(offsetof(LightMapInfo, origin) == 12, "LightMapInfo layout");
static_assert(offsetof(LightMapInfo, scale) == 24, "LightMapInfo layout");
static_assert(sizeof(LightMapInfo) == 36, "LightMapInfo layout");
#else
static_assert(offsetof(LightMapInfo, layer_step) == sizeof(void*), "LightMapInfo layout");
static_assert(offsetof(LightMapInfo, origin) == sizeof(void*) + 8, "LightMapInfo layout");
static_assert(offsetof(LightMapInfo, scale) == sizeof(void*) + 20, "LightMapInfo layout");
static_assert(sizeof(LightMapInfo) == sizeof(void*) + 32, "LightMapInfo layout");
#endif
static_assert(sizeof(Vec3) == 12, "Vec3 layout");

// The host's render-state setter: (D3DRENDERSTATETYPE, value). Its result is
// ignored. Every render state lightvol changes goes through it.
typedef int32_t (*RenderStateCallback)(int32_t state, int32_t value);

// A point light: a sphere of light with a position, a radius and a colour.
// Slot order is part of the ABI. Lights are destroyed only through the lighting
// system that made them.
class IPointLight {
public:
    virtual void set_color(const Vec3* color) = 0;
    virtual void set_position(const Vec3* position) = 0;
    virtual void set_radius(float radius) = 0;
    virtual void set_visible(bool visible) = 0;
    virtual void set_auto_cull(bool auto_cull) = 0;

protected:
    ~IPointLight() = default;
};

// The lighting system. Slot order is part of the ABI; the object ends its life
// only through release().
class ILightingSystem {
public:
    virtual void init(IDirect3DDevice9* device, RenderStateCallback set_render_state) = 0;
    virtual void release() = 0;
    virtual void on_lost_device() = 0;
    virtual void on_reset_device() = 0;
    virtual void render(const Vec3* focus, const float* movement, const Vec3* box_min,
                        const Vec3* box_max) = 0;
    virtual const LightMapInfo* get_light_map() = 0;
    virtual IPointLight* create_point_light() = 0;
    virtual void destroy_point_light(IPointLight* light) = 0;
    virtual void clear_point_lights() = 0;
    virtual void set_volume(int32_t width, int32_t height, int32_t depth, float cell_size) = 0;
    virtual void set_base_layer(int32_t layer) = 0;
    virtual void set_enabled(bool enabled) = 0;
    virtual bool is_enabled() = 0;

protected:
    ~ILightingSystem() = default;
};

extern "C" LIGHTVOL_API ILightingSystem* create_ILightingSystem();
