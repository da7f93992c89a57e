#pragma once
// Bit-for-bit comparison for the core tests: 0.0 and -0.0 differ, any two
// NaNs match.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>

#include "kestrum/quat.hpp"
#include "kestrum/vec3d.hpp"

inline bool same(double a, double b) {
    return (std::isnan(a) && std::isnan(b)) || std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}
#define EXPECT_SAME(a, b) EXPECT_PRED2(same, a, b)

inline void expect_vec(kestrum::Vec3d v, double x, double y, double z) {
    EXPECT_SAME(v.x, x);
    EXPECT_SAME(v.y, y);
    EXPECT_SAME(v.z, z);
}

inline void expect_quat(kestrum::Quat q, double w, double i, double j, double k) {
    EXPECT_SAME(q.w, w);
    EXPECT_SAME(q.i, i);
    EXPECT_SAME(q.j, j);
    EXPECT_SAME(q.k, k);
}
