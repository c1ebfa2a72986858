// lit_room's scene: everything that decides what a frame shows, in portable
// C++ (no Direct3D), so that a CPU rendering can compute the same frame.
//
// World: metres, z up; the room's floor is the plane z = 0. Time advances by
// kTimeStep per frame, so frame f always shows the same picture.
//
// Shading rule, per colour channel, for a surface point p with albedo a and
// outward normal n:
//
//   colour = saturate(a * (ambient(n) + light(p)))
//
// light(p) is lightvol's light map sampled at p (docs/sampling.hlsl's
// sample_light, tools/sampling's LightSampler::sample), ambient(n) a small
// constant per face direction so that the room reads without lights too.
// Pixels that hit nothing get kClearColor.
#pragma once

#include <array>
#include <cstdint>

#include "lightvol.h"

namespace lit_room {

// ---------------------------------------------------------------- the room

struct Box {
    Vec3 min;
    Vec3 max;
    Vec3 albedo;
};

constexpr int kBoxCount = 11;

// Floor, four walls, four pillars and two crates. The room's inside is
// x 0..16, y 0..12, z 0..3.
const std::array<Box, kBoxCount>& room_boxes();

constexpr Vec3 kClearColor{0.02f, 0.02f, 0.035f};

// ---------------------------------------------------------------- lighting

// The arguments of set_volume and set_base_layer: 144 x 112 cells of 0.25 m
// (36 x 28 m around the camera, enough for the whole room from anywhere the
// camera goes), 16 layers from the floor up to z = 3.75.
struct VolumeSettings {
    int32_t width;
    int32_t height;
    int32_t depth;
    float cell_size;
    int32_t base_layer;
};
constexpr VolumeSettings kVolume{144, 112, 16, 0.25f, 0};

// A point light as add/set_position, set_color and set_radius take it.
struct Light {
    Vec3 position;
    Vec3 color;
    float radius;
};

constexpr int kLightCount = 100;

// The lights at frame `frame`; writes kLightCount lights.
void lights_at(int frame, Light* lights);

// render's arguments at frame `frame`: a box of the volume's size centred
// on the camera's eye, the eye as the focus, its step since the previous
// frame as the movement.
struct VolumeRequest {
    Vec3 focus;
    float movement[2];
    Vec3 box_min;
    Vec3 box_max;
};
VolumeRequest volume_request(int frame);

// ---------------------------------------------------------------- the view

constexpr double kTimeStep = 1.0 / 30.0;  // seconds per frame

struct Camera {
    Vec3 eye;
    Vec3 target;
};

// The camera circles above the room, looking down into it. Defined for
// every frame, negative ones too.
Camera camera_at(int frame);

constexpr float kFieldOfViewY = 1.0471976f;  // 60 degrees, vertical
constexpr float kNearPlane = 0.1f;
constexpr float kFarPlane = 60.0f;

struct Size {
    int32_t width;
    int32_t height;
};

// The back buffer (the window's client area) before kResizeFrame, and from
// that frame on: the window is resized just before frame kResizeFrame is drawn.
constexpr Size kSizeBefore{640, 360};
constexpr Size kSizeAfter{512, 288};
constexpr int kResizeFrame = 40;
Size back_buffer_size(int frame);

// The test run: kFrameCount frames (0 .. kFrameCount - 1) with screenshots at
// these frames, before and after the resize.
constexpr int kFrameCount = 72;
constexpr std::array<int, 2> kShotFrames{30, 70};

// The matrix the vertex shader uses, for Direct3D 9's conventions: ROW
// vectors, clip = (x, y, z, 1) * M with M[row * 4 + column] (as D3DX
// matrices), a right-handed view (D3DXMatrixLookAtRH with up = +z) and
// D3DXMatrixPerspectiveFovRH, so clip z / w runs from 0 at kNearPlane to 1 at
// kFarPlane. A shader that does mul(float4(p, 1), m) with HLSL's default
// column-major packing needs the transpose in its constant registers.
void view_projection(const Camera& camera, int32_t width, int32_t height, float m[16]);

// The world-space ray through the centre of pixel (i, j) of a width x height
// back buffer: Direct3D 9 shades pixel (i, j) at screen position (i, j), which
// is NDC x = 2 i / width - 1, y = 1 - 2 j / height. The ray starts at the eye;
// its direction is not normalised.
struct Ray {
    Vec3 origin;
    Vec3 direction;
};
Ray pixel_ray(const Camera& camera, int32_t width, int32_t height, int32_t i, int32_t j);

// The nearest box a ray hits in front of its origin, if any.
struct Hit {
    float distance;  // along the ray, in units of its direction's length
    Vec3 point;
    Vec3 normal;     // the face's outward normal, an axis
    int box;         // index into room_boxes()
};
bool trace(const Ray& ray, Hit* hit);

// ---------------------------------------------------------------- shading

// The ambient term for a face with outward normal `normal` (an axis).
float ambient(const Vec3& normal);

// The shading rule above: albedo, normal and the sampled light to a colour
// with channels in 0..1.
Vec3 shade(const Vec3& albedo, const Vec3& normal, const Vec3& light);

}  // namespace lit_room
