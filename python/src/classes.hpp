#pragma once
// The module's classes: which core value each Python class wraps. Kept in one
// header (not one per class) so python/src never shadows a core header name.

#include <cstdlib>
#include <new>
#include <vector>

#include "frame.hpp"
#include "kestrum/angle.hpp"
#include "kestrum/geometry/circle.hpp"
#include "kestrum/geometry/plane.hpp"
#include "kestrum/quat.hpp"
#include "kestrum/vec3d.hpp"
#include "memory/block_cache.hpp"
#include "spatial/kd_tree.hpp"

namespace kp {

// What every wrapped class declares; `def()` lives in the class's unit.
template <Name ClassName>
struct Wrap {
    static constexpr bool wrapped = true;
    static constexpr const char* name = ClassName.s;
};

template <>
struct Class<kestrum::Vec3d> : Wrap<"Vec3d"> {
    static const TypeDef& def();
};

template <>
struct Class<kestrum::AngleRadians> : Wrap<"AngleRadians"> {
    static const TypeDef& def();
};

template <>
struct Class<kestrum::AngleDegrees> : Wrap<"AngleDegrees"> {
    static const TypeDef& def();
};

template <>
struct Class<kestrum::Quat> : Wrap<"Quat"> {
    static const TypeDef& def();
};

template <>
struct Class<kestrum::geometry::Plane> : Wrap<"Plane"> {
    static const TypeDef& def();
};

template <>
struct Class<kestrum::geometry::Circle> : Wrap<"Circle"> {
    static const TypeDef& def();
};

// VecList owns one contiguous array of core vectors; its iterator owns a
// private copy taken when iteration began. The allocator leaves new elements
// uninitialised, since every bulk result is written in full by the pool.
template <class T>
struct UninitAllocator : std::allocator<T> {
    template <class U>
    struct rebind {
        using other = UninitAllocator<U>;
    };
    UninitAllocator() = default;
    template <class U>
    UninitAllocator(const UninitAllocator<U>&) noexcept {}
    template <class U>
    void construct(U* p) noexcept(std::is_nothrow_default_constructible_v<U>) {
        ::new (static_cast<void*>(p)) U;
    }
    template <class U, class... A>
    void construct(U* p, A&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<A>(args)...);
    }

    // Large arrays come from the process's block cache (memory/block_cache):
    // recently freed output blocks are reused instead of faulting in and
    // zero-filling fresh pages on every bulk operation.
    T* allocate(std::size_t n) {
        if (n > std::size_t(-1) / sizeof(T)) throw std::bad_array_new_length();
        const std::size_t bytes = n * sizeof(T);
        if (bytes < kestrum::memory::kLargeFrom) return std::allocator<T>::allocate(n);
        return static_cast<T*>(kestrum::memory::process_cache().allocate(bytes));
    }
    void deallocate(T* p, std::size_t n) noexcept {
        if (n * sizeof(T) < kestrum::memory::kLargeFrom)
            std::allocator<T>::deallocate(p, n);
        else
            kestrum::memory::process_cache().deallocate(p, n * sizeof(T));
    }
};
using VecArray = std::vector<kestrum::Vec3d, UninitAllocator<kestrum::Vec3d>>;

struct VecListValue {
    VecArray items;
};
struct VecListIterValue {
    VecArray items;
    std::size_t cursor = 0;
};

template <>
struct Class<VecListValue> : Wrap<"VecList"> {
    static const TypeDef& def();
};

template <>
struct Class<VecListIterValue> : Wrap<"VecListIterator"> {
    static const TypeDef& def();
};

// Pickled as the element block (see Pickled in frame/pickle.hpp).
template <>
struct Pickled<VecListValue> {
    static PyObject* state(PyObject* self, const VecListValue& value, std::uint64_t protocol);
    static VecListValue load(Bytes state);
};

// An (n, 3) table copied into a new list (VecList.from_array's body).
VecListValue vec_list_from_rows(const Rows3& rows);

template <>
struct Class<kestrum::spatial::KdTree> : Wrap<"KdTree"> {
    static const TypeDef& def();
};
// Pickled as the tree's own block (see kd_tree.hpp).
template <>
struct Pickled<kestrum::spatial::KdTree> {
    static PyObject* state(PyObject* self, const kestrum::spatial::KdTree& value, std::uint64_t protocol);
    static kestrum::spatial::KdTree load(Bytes state);
};

// The other values pickle as their own bytes: plain doubles, no padding.
static_assert(sizeof(kestrum::Vec3d) == 3 * sizeof(double));
static_assert(sizeof(kestrum::Quat) == 4 * sizeof(double));
static_assert(sizeof(kestrum::AngleRadians) == sizeof(double));
static_assert(sizeof(kestrum::AngleDegrees) == sizeof(double));
static_assert(sizeof(kestrum::geometry::Plane) == 4 * sizeof(double));
static_assert(sizeof(kestrum::geometry::Circle) == 7 * sizeof(double));

// The geometry submodule's functions, in registration order (null-terminated).
PyMethodDef* geometry_functions();

// A sequence of Vec3d objects, copied out in iteration order.
template <>
struct FromPy<std::vector<kestrum::Vec3d>> {
    std::vector<kestrum::Vec3d> v;
    bool load(PyObject* o);
    const std::vector<kestrum::Vec3d>& get() const noexcept { return v; }
    static std::string py_type() { return "Sequence[Vec3d]"; }
};

}  // namespace kp
