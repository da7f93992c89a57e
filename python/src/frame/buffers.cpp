// The one function that fills every buffer view the library lends.
#include "frame/buffers.hpp"

#include <cstdint>

namespace kp {

// Read-only, 8-byte elements in C order, Fortran order too when at most one
// extent exceeds 1.
int fill_block_view(PyObject* owner, Py_buffer* view, int flags, Block block, const char* class_name) noexcept {
    view->obj = nullptr;
    if (flags & PyBUF_WRITABLE) {
        PyErr_Format(PyExc_BufferError, "%s buffer is read-only", class_name);
        return -1;
    }
    const int ndim = block.ndim;
    int long_axes = 0;
    for (int k = 0; k < ndim; ++k) long_axes += block.extent[k] > 1;
    if ((flags & PyBUF_F_CONTIGUOUS) == PyBUF_F_CONTIGUOUS && long_axes > 1) {
        PyErr_Format(PyExc_BufferError, "%s buffer is not Fortran contiguous", class_name);
        return -1;
    }
    // shape then strides, ndim of each
    auto* dims = static_cast<Py_ssize_t*>(PyMem_Malloc(6 * sizeof(Py_ssize_t)));
    if (!dims) {
        PyErr_NoMemory();
        return -1;
    }
    constexpr Py_ssize_t item = 8;
    Py_ssize_t stride = item;
    Py_ssize_t count = 1;
    for (int k = ndim - 1; k >= 0; --k) {
        dims[k] = static_cast<Py_ssize_t>(block.extent[k]);
        dims[ndim + k] = stride;
        stride *= dims[k];
        count *= dims[k];
    }
    static const std::int64_t no_elements = 0;  // consumers expect a non-null pointer
    view->buf = const_cast<void*>(block.data ? block.data : &no_elements);
    view->obj = Py_NewRef(owner);
    view->len = count * item;
    view->itemsize = item;
    view->readonly = 1;
    view->format = (flags & PyBUF_FORMAT) ? const_cast<char*>(block.format == 'd' ? "d" : "q") : nullptr;
    // Without PyBUF_ND the consumer reads plain bytes (buf and len).
    const bool nd = (flags & PyBUF_ND) == PyBUF_ND;
    view->ndim = nd ? ndim : 1;
    view->shape = nd ? dims : nullptr;
    view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? dims + ndim : nullptr;
    view->suboffsets = nullptr;
    view->internal = dims;
    return 0;
}

void release_block_view(Py_buffer* view) noexcept { PyMem_Free(view->internal); }

}  // namespace kp
