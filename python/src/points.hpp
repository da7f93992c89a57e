#pragma once
// Parameters of points and matrices as the members beyond the core set take
// them: whatever plainly means a point, a set of points or a matrix list.
// The core members keep their strict Vec3d/VecList parameters.
#include <span>

#include "classes.hpp"

namespace kp {

// One point: a Vec3d, or three numbers (a sequence, a (3,) float buffer).
struct Point : kestrum::Vec3d {};
template <>
struct FromPy<Point> {
    Point v{};
    bool load(PyObject* o) {
        if (Py_IS_TYPE(o, type_of<kestrum::Vec3d>())) {
            Shared<kestrum::Vec3d> b;  // only while the three doubles are copied
            if (!b.acquire_checked(o)) return false;
            static_cast<kestrum::Vec3d&>(v) = b.value();
            return true;
        }
        TableLoader numbers;
        numbers.name_others("a Vec3d, ");
        Table t;
        if (!numbers.load(o, {}, t, 3)) return false;
        // Read now, before any Python code can run again.
        v.x = read_cell(t.type, t.base);
        v.y = read_cell(t.type, t.base + t.row_stride);
        v.z = read_cell(t.type, t.base + 2 * t.row_stride);
        return true;
    }
    Point get() const noexcept { return v; }
    static constexpr bool names_value_errors = true;
    static std::string py_type() { return "Vec3d | _Column"; }
};

// A set of points, as a table: a VecList (borrowed, read in place), anything
// VecList.from_array reads, or one point alone (a Vec3d, three numbers, a
// (3,) buffer), which is a table of one row with `single` set.
struct Points : Rows3 {
    bool single = false;
    const kestrum::Vec3d* own = nullptr;  // the rows, when they are Vec3ds we hold
};
template <>
struct FromPy<Points> : TableLoader {
    Points v;
    kestrum::Vec3d one{};
    Shared<VecListValue> list;
    bool load(PyObject* o) {
        if (Py_IS_TYPE(o, type_of<kestrum::Vec3d>())) {
            Shared<kestrum::Vec3d> b;
            if (!b.acquire_checked(o)) return false;
            one = b.value();
            v.single = true;
            return held(&one, 1);
        }
        if (Py_IS_TYPE(o, type_of<VecListValue>())) {
            if (!list.acquire_checked(o)) return false;
            return held(list.value().items.data(), list.value().items.size());
        }
        static constexpr std::size_t dims[] = {3};
        name_others("a Vec3d, a VecList, ");
        if (!load_or_single(o, dims, v)) return false;
        v.single = single();
        return true;
    }
    const Points& get() const noexcept { return v; }
    static constexpr bool names_value_errors = true;
    static std::string py_type() { return "Vec3d | VecList | _Rows | _Column"; }

private:
    bool held(const kestrum::Vec3d* items, std::size_t n) noexcept {
        v.own = items;
        v.base = reinterpret_cast<const char*>(items);
        v.rows = n;
        v.row_stride = sizeof(kestrum::Vec3d);
        v.col_stride = sizeof(double);
        v.type = Table::Type::f64;
        return true;
    }
};

// Several 3x3 matrices: an (n, 3, 3) buffer, a sequence whose items are
// each a Mat3, three rows of three numbers or a (3, 3) buffer, or one matrix
// alone in any of those forms (a table of one, `single` set).
struct Matrices : Rows<3, 3> {
    bool single = false;
};
template <>
struct FromPy<Matrices> : TableLoader {
    Matrices v;
    kestrum::Mat3 one{};
    bool load(PyObject* o) {
        if (Py_IS_TYPE(o, type_of<kestrum::Matrix3>())) {
            one = as_object<kestrum::Matrix3>(o)->value.rows;  // immutable: no borrow
            v.single = true;
            v.base = reinterpret_cast<const char*>(one.data());
            v.rows = 1;
            v.sub_stride = sizeof(one[0]);
            v.col_stride = sizeof(double);
            v.type = Table::Type::f64;
            return true;
        }
        static constexpr std::size_t dims[] = {3, 3};
        name_others("a Mat3, ");
        if (!load_or_single(o, dims, v)) return false;
        v.single = single();
        return true;
    }
    const Matrices& get() const noexcept { return v; }
    static constexpr bool names_value_errors = true;
    static std::string py_type() { return "Mat3 | _Rows | Sequence[Mat3 | _Rows]"; }
};

// Row i of a table of points.
inline kestrum::Vec3d point_at(const Rows3& t, std::size_t i) noexcept {
    double xyz[3];
    const char* row = t.base + static_cast<std::ptrdiff_t>(i) * t.row_stride;
    for (std::ptrdiff_t c = 0; c < 3; ++c) {
        const char* p = row + c * t.col_stride;
        if (t.type == Table::Type::f64) {
            std::memcpy(&xyz[c], p, sizeof(double));
        } else {
            float f;
            std::memcpy(&f, p, sizeof f);
            xyz[c] = f;  // exact
        }
    }
    return {xyz[0], xyz[1], xyz[2]};
}

// The points as Vec3ds: the ones we hold in place, any other rows copied
// into `copy` first, so a caller's buffer is read once, before the work.
inline std::span<const kestrum::Vec3d> point_span(const Points& p, VecListValue& copy) {
    if (p.own) return {p.own, p.rows};
    copy = vec_list_from_rows(p);
    return {copy.items.data(), copy.items.size()};
}

}  // namespace kp
