#include "scene.h"

#include <cmath>

namespace lit_room {

namespace {

constexpr float kWall = 0.25f;    // wall thickness, outside the room's inside
constexpr float kHeight = 3.0f;   // wall height
constexpr float kRoomX = 16.0f;
constexpr float kRoomY = 12.0f;

constexpr Vec3 kFloorAlbedo{0.72f, 0.70f, 0.66f};
constexpr Vec3 kWallAlbedo{0.66f, 0.68f, 0.74f};
constexpr Vec3 kPillarAlbedo{0.85f, 0.84f, 0.80f};
constexpr Vec3 kCrateAlbedo{0.80f, 0.62f, 0.42f};

Box pillar(float x, float y) {
    return {{x - 0.3f, y - 0.3f, 0.0f}, {x + 0.3f, y + 0.3f, kHeight}, kPillarAlbedo};
}

// A well-mixed 32-bit hash, so each light gets its own fixed parameters.
uint32_t hash(uint32_t x) {
    x ^= x >> 16;
    x *= 0x7feb352du;
    x ^= x >> 15;
    x *= 0x846ca68bu;
    x ^= x >> 16;
    return x;
}

// A number in [0, 1) from light `index`'s parameter `which`.
double parameter(int index, uint32_t which) {
    return static_cast<double>(hash(static_cast<uint32_t>(index) * 16u + which) >> 8) /
           16777216.0;
}

// Fully saturated colour of hue h in [0, 1): one channel 1, one 0.
Vec3 hue(double h) {
    const double x = h * 6.0;
    const int sector = static_cast<int>(x) % 6;
    const float f = static_cast<float>(x - std::floor(x));
    switch (sector) {
        case 0: return {1.0f, f, 0.0f};
        case 1: return {1.0f - f, 1.0f, 0.0f};
        case 2: return {0.0f, 1.0f, f};
        case 3: return {0.0f, 1.0f - f, 1.0f};
        case 4: return {f, 0.0f, 1.0f};
        default: return {1.0f, 0.0f, 1.0f - f};
    }
}

Vec3 sub(const Vec3& a, const Vec3& b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
Vec3 cross(const Vec3& a, const Vec3& b) {
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
float dot(const Vec3& a, const Vec3& b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
Vec3 normalize(const Vec3& v) {
    const float length = std::sqrt(dot(v, v));
    return {v.x / length, v.y / length, v.z / length};
}

// The view's axes: right, up and back (the eye looks along -back), as
// D3DXMatrixLookAtRH builds them with up = +z.
struct Basis {
    Vec3 right;
    Vec3 up;
    Vec3 back;
};
Basis view_basis(const Camera& camera) {
    const Vec3 back = normalize(sub(camera.eye, camera.target));
    const Vec3 right = normalize(cross(Vec3{0.0f, 0.0f, 1.0f}, back));
    return {right, cross(back, right), back};
}

float clamp01(float v) { return v < 0.0f ? 0.0f : (v > 1.0f ? 1.0f : v); }

}  // namespace

const std::array<Box, kBoxCount>& room_boxes() {
    static const std::array<Box, kBoxCount> boxes = {{
        // Floor slab, its top at z = 0.
        {{-kWall, -kWall, -kWall}, {kRoomX + kWall, kRoomY + kWall, 0.0f}, kFloorAlbedo},
        // Walls: south, north, west, east.
        {{-kWall, -kWall, 0.0f}, {kRoomX + kWall, 0.0f, kHeight}, kWallAlbedo},
        {{-kWall, kRoomY, 0.0f}, {kRoomX + kWall, kRoomY + kWall, kHeight}, kWallAlbedo},
        {{-kWall, 0.0f, 0.0f}, {0.0f, kRoomY, kHeight}, kWallAlbedo},
        {{kRoomX, 0.0f, 0.0f}, {kRoomX + kWall, kRoomY, kHeight}, kWallAlbedo},
        pillar(4.0f, 4.0f),
        pillar(12.0f, 4.0f),
        pillar(4.0f, 8.0f),
        pillar(12.0f, 8.0f),
        // Crates.
        {{7.0f, 5.25f, 0.0f}, {9.0f, 6.75f, 0.8f}, kCrateAlbedo},
        {{1.5f, 9.0f, 0.0f}, {2.7f, 10.2f, 1.2f}, kCrateAlbedo},
    }};
    return boxes;
}

// Each light drifts on its own ellipse, kept half a metre inside the walls, at a fixed
// height, with a fixed hue and radius.
void lights_at(int frame, Light* lights) {
    const double t = frame * kTimeStep;
    for (int i = 0; i < kLightCount; ++i) {
        const double ax = 0.5 + 1.5 * parameter(i, 2);
        const double ay = 0.5 + 1.5 * parameter(i, 3);
        const double cx = ax + 0.5 + (kRoomX - 1.0 - 2.0 * ax) * parameter(i, 0);
        const double cy = ay + 0.5 + (kRoomY - 1.0 - 2.0 * ay) * parameter(i, 1);
        const double speed = (0.3 + 0.7 * parameter(i, 4)) * (parameter(i, 5) < 0.5 ? -1.0 : 1.0);
        const double phase = 6.283185307179586 * parameter(i, 6);
        const double angle = phase + speed * t;
        const double intensity = 0.75 + 0.25 * parameter(i, 9);
        const Vec3 colour = hue(parameter(i, 7));
        lights[i].position = {static_cast<float>(cx + ax * std::cos(angle)),
                              static_cast<float>(cy + ay * std::sin(angle)),
                              static_cast<float>(0.2 + 1.2 * parameter(i, 8))};
        lights[i].color = {static_cast<float>(colour.x * intensity),
                           static_cast<float>(colour.y * intensity),
                           static_cast<float>(colour.z * intensity)};
        lights[i].radius = static_cast<float>(1.0 + 0.6 * parameter(i, 10));
    }
}

VolumeRequest volume_request(int frame) {
    const Vec3 eye = camera_at(frame).eye;
    const Vec3 previous = camera_at(frame - 1).eye;
    const float half_x = static_cast<float>(kVolume.width) * kVolume.cell_size * 0.5f;
    const float half_y = static_cast<float>(kVolume.height) * kVolume.cell_size * 0.5f;
    return {eye,
            {eye.x - previous.x, eye.y - previous.y},
            {eye.x - half_x, eye.y - half_y, 0.0f},
            {eye.x + half_x, eye.y + half_y, 0.0f}};
}

Camera camera_at(int frame) {
    const double a = 4.0 + 0.35 * (frame * kTimeStep);
    const Vec3 eye{static_cast<float>(8.0 + 7.0 * std::cos(a)),
                   static_cast<float>(6.0 + 5.0 * std::sin(a)), 8.5f};
    const Vec3 target{static_cast<float>(8.0 - 1.0 * std::cos(a)),
                      static_cast<float>(6.0 - 0.8 * std::sin(a)), 0.0f};
    return {eye, target};
}

Size back_buffer_size(int frame) { return frame < kResizeFrame ? kSizeBefore : kSizeAfter; }

void view_projection(const Camera& camera, int32_t width, int32_t height, float m[16]) {
    const Basis b = view_basis(camera);
    // View (LookAtRH), rows are x, y, z, w of the input; columns right, up, back.
    const float view[16] = {
        b.right.x, b.up.x, b.back.x, 0.0f,
        b.right.y, b.up.y, b.back.y, 0.0f,
        b.right.z, b.up.z, b.back.z, 0.0f,
        -dot(b.right, camera.eye), -dot(b.up, camera.eye), -dot(b.back, camera.eye), 1.0f,
    };
    // Projection (PerspectiveFovRH).
    const float y_scale = 1.0f / std::tan(kFieldOfViewY * 0.5f);
    const float x_scale = y_scale * static_cast<float>(height) / static_cast<float>(width);
    const float z_scale = kFarPlane / (kNearPlane - kFarPlane);
    const float projection[16] = {
        x_scale, 0.0f,    0.0f,                   0.0f,
        0.0f,    y_scale, 0.0f,                   0.0f,
        0.0f,    0.0f,    z_scale,                -1.0f,
        0.0f,    0.0f,    kNearPlane * z_scale,   0.0f,
    };
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c) {
            float sum = 0.0f;
            for (int k = 0; k < 4; ++k) sum += view[r * 4 + k] * projection[k * 4 + c];
            m[r * 4 + c] = sum;
        }
}

Ray pixel_ray(const Camera& camera, int32_t width, int32_t height, int32_t i, int32_t j) {
    const Basis b = view_basis(camera);
    const float y_extent = std::tan(kFieldOfViewY * 0.5f);
    const float x_extent = y_extent * static_cast<float>(width) / static_cast<float>(height);
    const float sx = (2.0f * static_cast<float>(i) / static_cast<float>(width) - 1.0f) * x_extent;
    const float sy = (1.0f - 2.0f * static_cast<float>(j) / static_cast<float>(height)) * y_extent;
    return {camera.eye,
            {b.right.x * sx + b.up.x * sy - b.back.x, b.right.y * sx + b.up.y * sy - b.back.y,
             b.right.z * sx + b.up.z * sy - b.back.z}};
}

bool trace(const Ray& ray, Hit* hit) {
    const auto& boxes = room_boxes();
    bool found = false;
    const float o[3] = {ray.origin.x, ray.origin.y, ray.origin.z};
    const float d[3] = {ray.direction.x, ray.direction.y, ray.direction.z};
    for (int n = 0; n < kBoxCount; ++n) {
        const float lo[3] = {boxes[n].min.x, boxes[n].min.y, boxes[n].min.z};
        const float hi[3] = {boxes[n].max.x, boxes[n].max.y, boxes[n].max.z};
        // Slab test; `axis` and `sign` remember the face the ray enters by.
        float enter = 0.0f, leave = 1e30f;
        int axis = -1;
        float sign = 0.0f;
        for (int k = 0; k < 3; ++k) {
            if (d[k] == 0.0f) {
                if (o[k] < lo[k] || o[k] > hi[k]) enter = 2e30f;
                continue;
            }
            float near = (lo[k] - o[k]) / d[k], far = (hi[k] - o[k]) / d[k];
            float face = -1.0f;
            if (near > far) {
                const float swap = near;
                near = far;
                far = swap;
                face = 1.0f;
            }
            if (near > enter) {
                enter = near;
                axis = k;
                sign = face;
            }
            if (far < leave) leave = far;
        }
        if (axis < 0 || enter > leave || (found && enter >= hit->distance)) continue;
        found = true;
        hit->distance = enter;
        hit->point = {o[0] + d[0] * enter, o[1] + d[1] * enter, o[2] + d[2] * enter};
        hit->normal = {axis == 0 ? sign : 0.0f, axis == 1 ? sign : 0.0f, axis == 2 ? sign : 0.0f};
        hit->box = n;
    }
    return found;
}

float ambient(const Vec3& normal) {
    return 0.16f + 0.06f * normal.z + 0.03f * std::fabs(normal.x);
}

Vec3 shade(const Vec3& albedo, const Vec3& normal, const Vec3& light) {
    const float a = ambient(normal);
    return {clamp01(albedo.x * (a + light.x)), clamp01(albedo.y * (a + light.y)),
            clamp01(albedo.z * (a + light.z))};
}

}  // namespace lit_room
