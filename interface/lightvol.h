// lightvol: many point lights rendered into a light volume through the host's
// Direct3D 9 device.
//
// Copyright (c) 2026 the lightvol authors. Released under the MIT licence: see
// the file LICENSE that comes with this header.
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
// docs/integration.md explains every call, its arguments and what the host
// sees of them.
//
// Calling conventions. The factory and RenderStateCallback are __cdecl on
// 32-bit Windows, stated here so that a host compiled with another default
// (MSVC /Gz, GCC -mrtd) still calls and is called correctly; the factory is
// exported undecorated as "create_ILightingSystem". The methods of
// ILightingSystem and IPointLight use the platform's C++ member convention:
// __thiscall on 32-bit Windows (MSVC, clang-cl and MinGW-w64 g++ agree on it
// and on the layout of the tables of virtual functions), the Microsoft x64
// convention on 64-bit Windows. /Gz does not change them. No exception of the
// module's own crosses these calls; see docs/integration.md for
// std::bad_alloc.
#pragma once

#include <stddef.h>
#include <stdint.h>

// The release this header belongs to. lightvol.dll's version resource carries
// the same version (FileVersion and ProductVersion "MAJOR.MINOR.PATCH").
#define LIGHTVOL_VERSION_MAJOR 1
#define LIGHTVOL_VERSION_MINOR 0
#define LIGHTVOL_VERSION_PATCH 0
#define LIGHTVOL_VERSION_STRING "1.0.0"

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

// The calling convention of the factory and of RenderStateCallback: __cdecl
// on Windows (x64 has only one convention and ignores it), nothing elsewhere.
// A host declares its render-state function with it.
#if defined(_WIN32)
#define LIGHTVOL_CDECL __cdecl
#else
#define LIGHTVOL_CDECL
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
// (0 at the volume's minimum x, 1 / depth at its maximum x; the last texel's
// point is one cell before that maximum), t.y the texture v coordinate (0 at
// the volume's maximum y, the top row), and t.z the layer coordinate
// (p.z - volume bottom) / cell_size, whose whole values are the layers.
// Subtracting L * layer_step from (t.x, t.y) moves them into layer L's strip.
// Texel (i, j) holds the light at t.x * W = i, t.y * H = j (W by H the
// texture's size, from texture->GetLevelDesc), so a sampler adds half a texel
// before it reads. docs/sampling.hlsl shows a complete sampler.
struct LightMapInfo {
    // The light map: D3DFMT_X8R8G8B8, width * depth by height texels. Null
    // before set_volume, when the device refused it, and between
    // on_lost_device and on_reset_device. lightvol's own: never Release it.
    IDirect3DTexture9* texture;
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
// ignored. Every render state lightvol changes goes through it, only from
// inside render. A host function is declared
//   int32_t LIGHTVOL_CDECL set_state(int32_t state, int32_t value);
typedef int32_t(LIGHTVOL_CDECL* RenderStateCallback)(int32_t state, int32_t value);

// A point light with a position, a radius and a colour. Every layer plane
// within the radius of the centre gets a disc of radius
// sqrt(radius^2 - dz^2), dz the plane's height above or below the centre,
// with the full colour at the disc's centre falling linearly to 0 at its
// edge; a plane |dz| >= radius away gets nothing. Overlapping lights combine
// by the maximum of each colour channel.
//
// A new light is black at (0, 0, 0) with radius 0, auto_cull true and
// visible false: it takes part in no frame until set_position or set_radius
// gives it a box that overlaps the volume. Arguments are stored as given;
// nothing is clamped. Slot order is part of the ABI. Lights are destroyed only
// through the lighting system that made them.
class IPointLight {
public:
    // Red, green, blue; 1 is full intensity (the light map stores 0..1).
    virtual void set_color(const Vec3* color) = 0;
    // World position of the centre, in the host's units.
    virtual void set_position(const Vec3* position) = 0;
    // Radius in world units.
    virtual void set_radius(float radius) = 0;
    // Whether the light takes part while auto_cull is false; ignored while
    // auto_cull is true.
    virtual void set_visible(bool visible) = 0;
    // true (the default): the light takes part in a frame exactly when its
    // box (position -/+ radius) overlaps the placed volume. false: it takes
    // part exactly when visible is true, wherever it is.
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
    // Once per frame, inside the host's BeginScene / EndScene. box_min and
    // box_max: the area to light (x and y only; box_max above box_min),
    // scaled about focus (x and y only) to width x height cells and snapped
    // to the cell grid; movement: two floats (x, y), of which only the signs
    // count, choosing the direction of the snap. docs/integration.md gives
    // the exact rules.
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

// The factory: a new lighting system, or std::bad_alloc (see
// docs/integration.md). A host that loads the DLL itself gets it with
//   auto create = reinterpret_cast<LightingSystemFactory>(
//       reinterpret_cast<void*>(GetProcAddress(module, "create_ILightingSystem")));
extern "C" LIGHTVOL_API ILightingSystem* LIGHTVOL_CDECL create_ILightingSystem();

// The factory's type, for hosts that load the DLL with LoadLibrary.
typedef ILightingSystem*(LIGHTVOL_CDECL* LightingSystemFactory)();
