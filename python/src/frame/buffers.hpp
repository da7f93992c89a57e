#pragma once
// Doubles and integers lent to Python in place through the buffer protocol:
// a class's own elements (DoubleBlock) and result arrays handed over
// without a copy (NdArray, DoubleArray).
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <type_traits>
#include <vector>

#include "frame/results.hpp"

namespace kp {

// A result array of int64 ("q") or float64 ("d") elements in C order, one or
// two dimensions. Python gets a read-only memoryview over an object that takes
// over the elements, so nothing is copied: `numpy.asarray` wraps it in place
// and `.tolist()` gives lists. The library itself needs no numpy.
template <class T, class A = std::allocator<T>>
struct NdArray {
    static_assert(std::is_same_v<T, std::int64_t> || std::is_same_v<T, double>);
    std::vector<T, A> values;  // rows * cols of them (cols == 0: one dimension)
    std::size_t rows = 0;
    std::size_t cols = 0;
};
// The type-erased form the owner object keeps.
struct ArrayParts {
    std::shared_ptr<void> keep;  // owns the elements
    const void* data;
    char format;  // 'q' or 'd'
    int ndim;     // 1, 2 or 3: shape (rows), (rows, cols) or (rows, cols, depth)
    std::size_t rows, cols, depth;
};
PyObject* array_view(ArrayParts parts);
// The owner alone, exporting the elements read-only: for a PickleBuffer, which
// must not wrap a memoryview (a collected cycle through the two would clear
// the memoryview while the PickleBuffer still holds its export).
PyObject* array_owner(ArrayParts parts);
template <class T, class A>
struct ToPy<NdArray<T, A>> {
    static PyObject* convert(NdArray<T, A>&& a) {
        auto held = std::make_shared<std::vector<T, A>>(std::move(a.values));
        const void* data = held->data();
        return array_view({std::move(held), data, std::is_same_v<T, double> ? 'd' : 'q', a.cols ? 2 : 1,
                           a.rows, a.cols, 0});
    }
    static std::string py_type() { return "memoryview"; }
};

// A bulk result of doubles with shape (n,), (n, c) or (n, r, c), handed out
// as a read-only memoryview over an object that owns the storage: consumers
// (numpy.asarray, memoryview.tolist) read it in place, and no library
// outside the standard one is needed.
class DoubleArray {
public:
    // `values` is any contiguous container of doubles or of fixed runs of
    // doubles (Quat, std::array<double, 9>); it is moved in, not copied.
    template <class V>
    DoubleArray(V&& values, std::initializer_list<std::size_t> shape)
        : ndim_(static_cast<int>(shape.size())) {
        using Held = Holder<std::remove_cvref_t<V>>;
        auto held = std::make_shared<Held>(std::forward<V>(values));
        data_ = reinterpret_cast<const double*>(held->values.data());
        storage_ = std::move(held);
        std::size_t i = 0;
        for (std::size_t d : shape) shape_[i++] = static_cast<Py_ssize_t>(d);
        Py_ssize_t stride = sizeof(double);
        for (int k = ndim_ - 1; k >= 0; --k) {
            strides_[k] = stride;
            stride *= shape_[k];
        }
    }
    const double* data() const noexcept { return data_; }
    int ndim() const noexcept { return ndim_; }
    const Py_ssize_t* shape() const noexcept { return shape_; }
    const Py_ssize_t* strides() const noexcept { return strides_; }
    std::size_t size() const noexcept {
        std::size_t n = 1;
        for (int k = 0; k < ndim_; ++k) n *= static_cast<std::size_t>(shape_[k]);
        return n;
    }
    std::shared_ptr<void> storage() const noexcept { return storage_; }

private:
    struct Storage {
        virtual ~Storage() = default;
    };
    template <class V>
    struct Holder : Storage {
        explicit Holder(V&& v) : values(std::move(v)) {}
        explicit Holder(const V& v) : values(v) {}
        V values;
    };
    std::shared_ptr<Storage> storage_;
    const double* data_ = nullptr;
    int ndim_;
    Py_ssize_t shape_[3] = {0, 0, 0};
    Py_ssize_t strides_[3] = {0, 0, 0};
};
template <>
struct ToPy<DoubleArray> {
    static PyObject* convert(DoubleArray&& array);
    static std::string py_type() { return "memoryview"; }
};

// ---------------------------------------------------------------------------
// Buffer export

// A C-contiguous (rows, cols) block of doubles lent out read-only.
struct DoubleBlock {
    const double* data;
    std::size_t rows;
    std::size_t cols;
};
// Fills `view` for `flags` (format "d", strides (cols * 8, 8)); the shape and
// strides live in view->internal until release_block_view. On failure a
// BufferError is set and nothing is held.
int fill_block_view(PyObject* owner, Py_buffer* view, int flags, DoubleBlock block,
                    const char* class_name) noexcept;
void release_block_view(Py_buffer* view) noexcept;

}  // namespace kp
