#pragma once
// The one array result: a read-only block of int64 or float64 elements in C
// order, one to three dimensions, which Python sees as kestrum_py.Array.
// It exports the buffer protocol (numpy wraps it without a copy) and answers
// len, indexing, iteration, tolist and == itself, so no numpy is needed.
//
// A body returns `Array(std::move(values), {rows, cols})`: `values` is any
// contiguous container of int64 or of doubles (or of fixed runs of doubles:
// Quat, Mat3, EulerAngles), moved in, never copied. `Array::viewing` lends
// elements someone else owns, kept alive by `keep`.
#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

#include "frame/args.hpp"
#include "frame/buffers.hpp"
#include "frame/results.hpp"
#include "frame/types.hpp"

namespace kp {

class Array {
public:
    static constexpr int kMaxDims = 3;

    template <class V>
    Array(V&& values, std::initializer_list<std::size_t> shape) {
        using Held = std::remove_cvref_t<V>;
        using E = std::remove_cvref_t<decltype(*std::data(values))>;
        static_assert(std::is_trivially_copyable_v<E> && sizeof(E) % 8 == 0);
        static_assert(std::is_same_v<E, std::int64_t> || !std::is_integral_v<E>, "int64 or doubles");
        auto held = std::make_shared<Held>(std::forward<V>(values));
        const std::size_t words = std::size(*held) * (sizeof(E) / 8);
        const void* data = std::data(*held);
        init(std::shared_ptr<const void>(std::move(held), data), std::is_same_v<E, std::int64_t> ? 'q' : 'd', shape,
             words);
    }
    // Elements owned elsewhere, lent as they are while `keep` lives.
    static Array viewing(std::shared_ptr<const void> keep, const void* data, char format,
                         std::initializer_list<std::size_t> shape, std::size_t words);

    char format() const noexcept { return format_; }  // 'q' int64, 'd' float64
    int ndim() const noexcept { return ndim_; }
    std::size_t extent(int axis) const noexcept { return shape_[static_cast<std::size_t>(axis)]; }
    std::size_t size() const noexcept;  // elements
    const std::uint64_t* words() const noexcept { return data_; }
    Block block() const noexcept;

    // A contiguous part: `count` elements from `offset`, with the given shape.
    Array part(std::size_t offset, int ndim, const std::size_t* shape) const;

private:
    Array() = default;
    void init(std::shared_ptr<const void> keep, char format, std::initializer_list<std::size_t> shape,
              std::size_t words);

    std::shared_ptr<const void> keep_;
    const std::uint64_t* data_ = nullptr;
    char format_ = 'd';
    int ndim_ = 1;
    std::array<std::size_t, kMaxDims> shape_{};
};

template <>
struct Class<Array> {
    static constexpr bool wrapped = true;
    static constexpr const char* name = "Array";
    static const TypeDef& def();
};

// Iteration over the first axis, from a reference to the array taken when
// iteration began.
struct ArrayIter {
    Array array;
    std::size_t next = 0;
};
template <>
struct Class<ArrayIter> {
    static constexpr bool wrapped = true;
    static constexpr const char* name = "ArrayIterator";
    static const TypeDef& def();
};

// What indexing gives: a number, or a part of the array. Typed Any in the
// stubs, so `r[0][1]` type-checks as numpy's indexing does.
struct ArrayItem {
    std::variant<double, std::int64_t, Array> v;
};
template <>
struct ToPy<ArrayItem> {
    static PyObject* convert(ArrayItem&& item);
    static std::string py_type() { return "Any"; }
};

// A key of Array's []: an integer, a slice, or a tuple of them (one per
// leading axis).
struct ArrayKey {
    struct Axis {
        bool index;  // an integer: the axis is dropped
        Py_ssize_t start, stop, step;
    };
    std::vector<Axis> axes;
};
template <>
struct FromPy<ArrayKey> {
    ArrayKey v;
    bool load(PyObject* o);
    const ArrayKey& get() const noexcept { return v; }
    static std::string py_type() { return "SupportsIndex | slice | tuple[SupportsIndex | slice, ...]"; }
};

// A tuple of counts, as shape and strides are.
struct Counts {
    std::vector<std::size_t> v;
};
template <>
struct ToPy<Counts> {
    static PyObject* convert(const Counts& c);
    static std::string py_type() { return "tuple[int, ...]"; }
};

}  // namespace kp
