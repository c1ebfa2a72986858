#include "lighting/point_light.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

TEST(PointLight, BoundsFollowPositionAndRadiusInEitherOrder) {
    PointLight a, b;
    EXPECT_EQ(a.bounds_min.x, 1e8f);
    EXPECT_EQ(a.bounds_max.z, -1e8f);
    const Vec3 p{1, 1, 1};
    a.set_radius(2);
    a.set_position(&p);
    b.set_position(&p);
    b.set_radius(2);
    for (const PointLight* l : {&a, &b}) {
        EXPECT_EQ(l->bounds_min.x, -1);
        EXPECT_EQ(l->bounds_min.z, -1);
        EXPECT_EQ(l->bounds_max.y, 3);
        EXPECT_EQ(l->bounds_max.z, 3);
        EXPECT_EQ(l->radius_sq, 4);
    }
    const Vec3 red{1, 0, 0};
    a.set_color(&red);
    EXPECT_EQ(a.bounds_max.x, 3);
    EXPECT_EQ(a.color.x, 1);
}

TEST(PointLight, NegativeRadiusAndOddColoursAreStoredUnchanged) {
    PointLight l;
    l.set_radius(-3);
    EXPECT_EQ(l.radius, -3);
    EXPECT_EQ(l.radius_sq, 9);
    const Vec3 c{-1, 7, 0.5f};
    l.set_color(&c);
    EXPECT_EQ(l.color.y, 7);
    l.set_color(nullptr);  // ignored
    EXPECT_EQ(l.color.x, -1);
}

TEST(BoxesOverlap, StrictOnEveryAxisInEitherDirection) {
    const Vec3 vmin{0, 0, 0}, vmax{10, 10, 10};
    for (int axis = 0; axis < 3; ++axis) {
        Vec3 bmin{2, 2, 2}, bmax{4, 4, 4};
        float* lo = &bmin.x + axis;
        float* hi = &bmax.x + axis;
        *lo = -5;
        *hi = 0;  // touches the minimum face
        EXPECT_FALSE(boxes_overlap(vmin, vmax, bmin, bmax)) << axis;
        *hi = 0.001f;
        EXPECT_TRUE(boxes_overlap(vmin, vmax, bmin, bmax)) << axis;
        *lo = 10;  // touches the maximum face
        *hi = 12;
        EXPECT_FALSE(boxes_overlap(vmin, vmax, bmin, bmax)) << axis;
        *lo = 9.999f;
        EXPECT_TRUE(boxes_overlap(vmin, vmax, bmin, bmax)) << axis;
    }
}

TEST(BoxesOverlap, ZeroSizedBoxInsideOnlyWhenStrictlyInside) {
    PointLight l;
    const Vec3 inside{5, 5, 5}, on_face{5, 0, 5};
    l.set_radius(0);
    l.set_position(&inside);
    EXPECT_TRUE(light_takes_part(l, {0, 0, 0}, {10, 10, 10}));
    l.set_position(&on_face);
    EXPECT_FALSE(light_takes_part(l, {0, 0, 0}, {10, 10, 10}));
}

TEST(BoxesOverlap, NaNNeverRejects) {
    const Vec3 n{NAN, NAN, NAN};
    EXPECT_TRUE(boxes_overlap({0, 0, 0}, {1, 1, 1}, n, n));
    EXPECT_TRUE(boxes_overlap(n, n, {5, 5, 5}, {6, 6, 6}));
}

TEST(PointLight, UnplacedLightIsCulledUnlessTheVolumeIsHuge) {
    PointLight l;
    EXPECT_FALSE(light_takes_part(l, {-10, -10, -10}, {10, 10, 10}));
    EXPECT_TRUE(light_takes_part(l, {-2e8f, -2e8f, -2e8f}, {2e8f, 2e8f, 2e8f}));
}

TEST(PointLight, AutoCullAndVisibleRules) {
    PointLight l;
    const Vec3 inside{0, 0, 0}, far{1000, 0, 0};
    l.set_radius(1);
    l.set_position(&inside);
    const Vec3 vmin{-5, -5, -5}, vmax{5, 5, 5};
    l.set_visible(false);
    EXPECT_TRUE(light_takes_part(l, vmin, vmax));  // auto_cull ignores visible
    l.set_position(&far);
    EXPECT_FALSE(light_takes_part(l, vmin, vmax));
    l.set_auto_cull(false);
    EXPECT_FALSE(light_takes_part(l, vmin, vmax));
    l.set_visible(true);
    EXPECT_TRUE(light_takes_part(l, vmin, vmax));  // position ignored
}

}  // namespace
