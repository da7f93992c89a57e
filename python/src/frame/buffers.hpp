#pragma once
// What is lent to Python in place through the buffer protocol: a class's own
// elements (a Vec3d list's doubles, a Mat3's nine) and the result arrays
// (frame/array.hpp), all filled by one function.
#include <cstddef>

#include "frame/errors.hpp"

namespace kp {

// A C-contiguous block of 8-byte elements lent out read-only: 'd' float64 or
// 'q' int64, shape (extent[0]) ... (extent[0], extent[1], extent[2]).
struct Block {
    const void* data;
    char format;
    int ndim;
    std::size_t extent[3];
};
// A class's (rows, cols) doubles.
struct DoubleBlock {
    const double* data;
    std::size_t rows;
    std::size_t cols;
    operator Block() const noexcept { return {data, 'd', 2, {rows, cols, 1}}; }
};
// Fills `view` for `flags` (strides in C order); the shape and strides live
// in view->internal until release_block_view. On failure a BufferError is set
// and nothing is held.
int fill_block_view(PyObject* owner, Py_buffer* view, int flags, Block block, const char* class_name) noexcept;
void release_block_view(Py_buffer* view) noexcept;

}  // namespace kp
