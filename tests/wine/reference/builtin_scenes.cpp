#include "builtin_scenes.h"

#include <cstdint>

namespace {

using scene_file::Frame;
using scene_file::Light;
using scene_file::Scene;

// Deterministic pseudo-random floats, the same on every machine.
class Lcg {
public:
    explicit Lcg(uint32_t seed) : state_(seed) {}
    float uniform(float lo, float hi) {
        state_ = state_ * 1664525u + 1013904223u;
        const float unit = static_cast<float>(state_ >> 8) / 16777216.0f;
        return lo + (hi - lo) * unit;
    }

private:
    uint32_t state_;
};

Light light(float x, float y, float z, float radius, float r, float g, float b) {
    Light l;
    l.position[0] = x;
    l.position[1] = y;
    l.position[2] = z;
    l.radius = radius;
    l.color[0] = r;
    l.color[1] = g;
    l.color[2] = b;
    return l;
}

Frame frame(float fx, float fy, float mx, float my, float x0, float y0, float x1, float y1) {
    Frame f;
    f.focus[0] = fx;
    f.focus[1] = fy;
    f.focus[2] = 0;
    f.movement[0] = mx;
    f.movement[1] = my;
    f.box_min[0] = x0;
    f.box_min[1] = y0;
    f.box_min[2] = 0;
    f.box_max[0] = x1;
    f.box_max[1] = y1;
    f.box_max[2] = 1;
    return f;
}

// 64 x 64 x 8 cells of 1 unit; the volume is (-23, -11, 0) .. (41, 53, 8).
Scene example_volume(const char* name) {
    Scene s;
    s.name = name;
    s.width = 64;
    s.height = 64;
    s.depth = 8;
    s.cell_size = 1;
    s.base_layer = 0;
    s.frames.push_back(frame(10, 20, 1, -1, -22, -12, 42, 52));
    return s;
}

}  // namespace

std::vector<Scene> builtin_scenes() {
    std::vector<Scene> scenes;

    // One light on the grid: its disc in each layer it reaches.
    Scene single = example_volume("single");
    single.lights.push_back(light(10, 20, 3, 6, 1, 0.5f, 0.25f));
    scenes.push_back(single);

    // Overlapping lights off the grid: per-channel maximum where they meet.
    Scene overlap = example_volume("overlap");
    overlap.lights.push_back(light(3.3f, 17.7f, 2.5f, 9.5f, 1, 0, 0));
    overlap.lights.push_back(light(9.8f, 21.1f, 3.2f, 8.25f, 0, 1, 0));
    overlap.lights.push_back(light(6.1f, 12.4f, 4.9f, 7.75f, 0, 0, 1));
    overlap.lights.push_back(light(6.5f, 16.0f, 3.0f, 4.0f, 0.9f, 0.9f, 0.9f));
    overlap.lights.push_back(light(25.25f, 40.75f, 6.6f, 12.5f, 0.6f, 0.3f, 0.8f));
    scenes.push_back(overlap);

    // More lights than one batch holds in most layers.
    Scene many = example_volume("many");
    Lcg lcg(12345);
    for (int i = 0; i < 400; ++i)
        many.lights.push_back(light(lcg.uniform(-25, 43), lcg.uniform(-13, 55), lcg.uniform(-1, 9),
                                    lcg.uniform(0.5f, 7), lcg.uniform(0, 1), lcg.uniform(0, 1),
                                    lcg.uniform(0, 1)));
    scenes.push_back(many);

    // Discs larger than the layer: long, smooth gradients across the whole map.
    Scene large = example_volume("large");
    large.lights.push_back(light(9.5f, 21.5f, 4, 60, 0.5f, 1, 0.75f));
    large.lights.push_back(light(-30, -20, 1, 45, 1, 0.2f, 0.1f));
    scenes.push_back(large);

    // A fine grid below zero: cells of 0.25, a negative base layer, a box that
    // is scaled (x by 1, y by 5/7) and snapped the other way on each axis.
    Scene fine;
    fine.name = "fine_grid";
    fine.width = 48;
    fine.height = 20;
    fine.depth = 5;
    fine.cell_size = 0.25f;
    fine.base_layer = -3;
    fine.frames.push_back(frame(1.1f, -2.3f, -0.5f, 0.7f, -7, -4, 5, 3));
    Lcg fine_lcg(777);
    for (int i = 0; i < 60; ++i)
        fine.lights.push_back(light(fine_lcg.uniform(-6, 6), fine_lcg.uniform(-6, 2),
                                    fine_lcg.uniform(-1, 0.5f), fine_lcg.uniform(0.2f, 1.5f),
                                    fine_lcg.uniform(0, 1), fine_lcg.uniform(0, 1),
                                    fine_lcg.uniform(0, 1)));
    scenes.push_back(fine);

    // Culling at the volume's faces: lights across the edges, a light shown
    // by its visible flag although auto cull would drop it, and hidden ones.
    Scene edges = example_volume("cull_edges");
    edges.lights.push_back(light(-24, 20, 3, 4, 1, 1, 0));    // across the left face
    edges.lights.push_back(light(40, 52, 7.5f, 5, 0, 1, 1));  // across a corner
    edges.lights.push_back(light(10, -14, 2, 3, 1, 0, 1));    // outside, touching nothing
    Light shown = light(10, 55, 4, 6, 0.5f, 1, 0.5f);         // outside the box, shown
    shown.auto_cull = false;
    shown.visible = true;
    edges.lights.push_back(shown);
    Light hidden = light(0, 0, 4, 6, 1, 1, 1);  // inside, hidden
    hidden.auto_cull = false;
    hidden.visible = false;
    edges.lights.push_back(hidden);
    scenes.push_back(edges);

    // Two frames: the second, with the focus moved, is the one compared.
    Scene moving = example_volume("moving");
    moving.frames.push_back(frame(13.6f, 17.2f, -1, 1, -19.4f, -14.8f, 46.6f, 49.2f));
    moving.lights.push_back(light(14, 18, 2, 5, 1, 0.8f, 0.2f));
    moving.lights.push_back(light(-3, 30, 6, 10, 0.3f, 0.6f, 1));
    scenes.push_back(moving);

    return scenes;
}
