#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "lighting/lighting_system.h"

namespace {

// A system sized without a device: set_volume stores the clamped values and
// makes no targets until init has bound a device.
struct Placed {
    explicit Placed(int32_t w, int32_t h, int32_t d, float cell, int32_t base) {
        sys.set_volume(w, h, d, cell);
        sys.set_base_layer(base);
    }
    void place(Vec3 focus, float mx, float my, Vec3 bmin, Vec3 bmax) {
        const float movement[2] = {mx, my};
        sys.place_volume(focus, movement, bmin, bmax);
    }
    LightingSystem sys;
};

void expect_vec(const Vec3& v, float x, float y, float z) {
    EXPECT_EQ(v.x, x);
    EXPECT_EQ(v.y, y);
    EXPECT_EQ(v.z, z);
}

TEST(VolumePlacement, UnitCellExampleIsExact) {
    Placed p(64, 64, 8, 1.0f, 0);
    p.place({10, 20, 5}, 1, -1, {-22, -12, 0}, {42, 52, 8});
    expect_vec(p.sys.volume_min, -23, -11, 0);
    expect_vec(p.sys.volume_max, 41, 53, 8);
    const LightMapInfo& info = p.sys.light_map_info;
    EXPECT_EQ(info.layer_step[0], -0.125f);
    EXPECT_EQ(info.layer_step[1], 0.0f);
    expect_vec(info.origin, -23, 53, 0);
    expect_vec(info.scale, -0.001953125f, 0.015625f, -1);
    EXPECT_EQ(p.sys.world2scr[0], 9.0f);
    EXPECT_EQ(p.sys.world2scr[1], 21.0f);
    EXPECT_EQ(p.sys.world2scr[2], 0.03125f);
    EXPECT_EQ(p.sys.world2scr[3], 0.03125f);
}

TEST(VolumePlacement, ScaledHalfCellExampleWithNegativeBaseIsExact) {
    Placed p(32, 32, 4, 0.5f, -2);
    p.place({0, 0, 0}, 0.3f, 0, {-10, -10, -1}, {10, 10, 1});
    expect_vec(p.sys.volume_min, -8.5f, -7.5f, -1);
    expect_vec(p.sys.volume_max, 7.5f, 8.5f, 1);
    const LightMapInfo& info = p.sys.light_map_info;
    EXPECT_EQ(info.layer_step[0], -0.25f);
    expect_vec(info.origin, -8.5f, 8.5f, -1);
    expect_vec(info.scale, -0.015625f, 0.0625f, -2);
    EXPECT_EQ(p.sys.world2scr[0], -0.5f);
    EXPECT_EQ(p.sys.world2scr[1], 0.5f);
    EXPECT_EQ(p.sys.world2scr[2], 0.125f);
    EXPECT_EQ(p.sys.world2scr[3], 0.125f);
}

TEST(VolumePlacement, SnapTableWithUnitCells) {
    struct Row {
        float move, before, after;
    };
    // The edge used is lo for a positive move and hi otherwise; the interval
    // keeps its length of 10.
    const Row rows[] = {{1, 2.5f, 2},   {1, 3, 3},       {1, 0, 0},       {1, -0.5f, -1},
                        {1, -2.5f, -3}, {1, -3, -4},     {-1, 10.5f, 11}, {-1, 10, 11},
                        {-1, 0, 1},     {-1, -2.5f, -2}, {-1, -3, -3},    {0, 10, 11},
                        {NAN, 10, 11}};
    for (const Row& r : rows) {
        float lo, hi;
        if (r.move > 0) {
            lo = r.before;
            hi = r.before + 10;
        } else {
            lo = r.before - 10;
            hi = r.before;
        }
        snap_to_grid(lo, hi, r.move, 1.0f);
        const float used = r.move > 0 ? lo : hi;
        EXPECT_EQ(used, r.after) << "move " << r.move << " edge " << r.before;
        EXPECT_EQ(hi - lo, 10.0f);
    }
}

TEST(VolumePlacement, NegativeZeroCountsAsNonNegative) {
    float lo = -0.0f, hi = 4.0f;
    snap_to_grid(lo, hi, 1.0f, 1.0f);
    EXPECT_EQ(lo, 0.0f);
    EXPECT_EQ(hi, 4.0f);
}

TEST(VolumePlacement, RequestedZAndFocusZChangeNothing) {
    Placed a(16, 8, 4, 0.25f, 3);
    Placed b(16, 8, 4, 0.25f, 3);
    a.place({1.3f, -2.1f, 5}, 1, 1, {-3, -2, 0}, {4, 3, 0});  // zero z extent
    b.place({1.3f, -2.1f, -70}, 1, 1, {-3, -2, -9}, {4, 3, 123});
    EXPECT_EQ(0, std::memcmp(&a.sys.volume_min, &b.sys.volume_min, sizeof(Vec3)));
    EXPECT_EQ(0, std::memcmp(&a.sys.volume_max, &b.sys.volume_max, sizeof(Vec3)));
    EXPECT_EQ(0, std::memcmp(a.sys.world2scr, b.sys.world2scr, sizeof a.sys.world2scr));
    EXPECT_EQ(0, std::memcmp(&a.sys.light_map_info, &b.sys.light_map_info, sizeof(LightMapInfo)));
    EXPECT_EQ(a.sys.volume_min.z, 0.75f);
    EXPECT_EQ(a.sys.volume_max.z, 1.75f);
}

TEST(VolumePlacement, ScalingKeepsTheFocusAtItsRelativePosition) {
    // Requested boxes smaller and larger than width * cell_size, the focus
    // (10) a quarter of the way in: both scale to [8, 16], already on the grid,
    // which a positive move keeps for a non-negative edge.
    for (float extent : {4.0f, 100.0f}) {
        Placed p(8, 8, 1, 1.0f, 0);
        const float lo = 10 - extent * 0.25f, hi = 10 + extent * 0.75f;
        p.place({10, 10, 0}, 1, 1, {lo, lo, 0}, {hi, hi, 0});
        EXPECT_EQ(p.sys.volume_min.x, 8.0f) << extent;
        EXPECT_EQ(p.sys.volume_max.x, 16.0f) << extent;
        EXPECT_EQ(p.sys.volume_min.y, 8.0f) << extent;
    }
}

}  // namespace
