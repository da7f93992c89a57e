// Buffer exports: a class's elements, and the owner object of result arrays.
#include "frame/buffers.hpp"

#include <cstdint>
#include <memory>
#include <new>

namespace kp {

namespace {

// The rules every export here follows: read-only, 8-byte elements ('d' or
// 'q') in C order, Fortran order too when at most one extent exceeds 1; the
// shape and strides live in view->internal until release_block_view.
// `subject` and `verb` name the exporter in messages ("Vec3d" " buffer is",
// "result arrays" " are").
int fill_view(PyObject* owner, Py_buffer* view, int flags, const void* data, char format, int ndim,
              const std::size_t (&extent)[3], const char* subject, const char* verb) noexcept {
    view->obj = nullptr;
    if (flags & PyBUF_WRITABLE) {
        PyErr_Format(PyExc_BufferError, "%s%s read-only", subject, verb);
        return -1;
    }
    const int long_axes = (extent[0] > 1) + (extent[1] > 1) + (extent[2] > 1);
    if ((flags & PyBUF_F_CONTIGUOUS) == PyBUF_F_CONTIGUOUS && long_axes > 1) {
        PyErr_Format(PyExc_BufferError, "%s%s not Fortran contiguous", subject, verb);
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
    for (int k = ndim - 1; k >= 0; --k) {
        dims[k] = static_cast<Py_ssize_t>(extent[k]);
        dims[ndim + k] = stride;
        stride *= dims[k];
    }
    static const std::int64_t no_elements = 0;  // consumers expect a non-null pointer
    view->buf = const_cast<void*>(data ? data : &no_elements);
    view->obj = Py_NewRef(owner);
    view->len = static_cast<Py_ssize_t>(extent[0] * extent[1] * extent[2]) * item;
    view->itemsize = item;
    view->readonly = 1;
    view->format = (flags & PyBUF_FORMAT) ? const_cast<char*>(format == 'd' ? "d" : "q") : nullptr;
    // Without PyBUF_ND the consumer reads plain bytes (buf and len).
    const bool nd = (flags & PyBUF_ND) == PyBUF_ND;
    view->ndim = nd ? ndim : 1;
    view->shape = nd ? dims : nullptr;
    view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? dims + ndim : nullptr;
    view->suboffsets = nullptr;
    view->internal = dims;
    return 0;
}

}  // namespace

int fill_block_view(PyObject* owner, Py_buffer* view, int flags, DoubleBlock block,
                    const char* class_name) noexcept {
    const std::size_t extent[3] = {block.rows, block.cols, 1};
    return fill_view(owner, view, flags, block.data, 'd', 2, extent, class_name, " buffer is");
}

void release_block_view(Py_buffer* view) noexcept { PyMem_Free(view->internal); }

// ---------------------------------------------------------------------------
// Result arrays: a hidden owner class exporting the elements, read-only.

namespace {

struct ArrayOwner {
    PyObject_HEAD
    ArrayParts parts;
};

int array_getbuffer(PyObject* self, Py_buffer* view, int flags) noexcept {
    const ArrayParts& a = reinterpret_cast<ArrayOwner*>(self)->parts;
    const std::size_t extent[3] = {a.rows, a.ndim >= 2 ? a.cols : 1, a.ndim >= 3 ? a.depth : 1};
    return fill_view(self, view, flags, a.data, a.format, a.ndim, extent, "result arrays", " are");
}

void array_releasebuffer(PyObject*, Py_buffer* view) noexcept { release_block_view(view); }

void array_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    std::destroy_at(&reinterpret_cast<ArrayOwner*>(self)->parts);
    PyObject_Free(self);
    Py_DECREF(tp);
}

PyTypeObject* array_owner_type() {
    static OnceCell<PyTypeObject> cell;
    return cell.get([] {
        static PyType_Slot slots[] = {
            {Py_bf_getbuffer, reinterpret_cast<void*>(&array_getbuffer)},
            {Py_bf_releasebuffer, reinterpret_cast<void*>(&array_releasebuffer)},
            {Py_tp_dealloc, reinterpret_cast<void*>(&array_dealloc)},
            {0, nullptr},
        };
        static PyType_Spec spec{"kestrum_py._ResultArray", sizeof(ArrayOwner), 0,
                                Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots};
        return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
    });
}

}  // namespace

PyObject* array_owner(ArrayParts parts) {
    // Every extent, stride and the byte count must fit a Py_ssize_t, an empty
    // array's too (its other extents can be anything).
    std::size_t bytes = 8;
    const std::size_t extent[3] = {parts.rows, parts.ndim >= 2 ? parts.cols : 1, parts.ndim >= 3 ? parts.depth : 1};
    for (const std::size_t e : extent) {
        if (e > static_cast<std::size_t>(PY_SSIZE_T_MAX) / bytes) return PyErr_NoMemory();
        bytes *= e == 0 ? 1 : e;
    }
    PyTypeObject* tp = array_owner_type();
    if (!tp) return nullptr;
    PyObject* o = static_cast<PyObject*>(PyObject_Malloc(sizeof(ArrayOwner)));
    if (!o) return PyErr_NoMemory();
    PyObject_Init(o, tp);
    new (&reinterpret_cast<ArrayOwner*>(o)->parts) ArrayParts(std::move(parts));
    return o;
}

PyObject* array_view(ArrayParts parts) {
    const Ref owner(array_owner(std::move(parts)));
    return owner ? PyMemoryView_FromObject(owner.get()) : nullptr;  // the view holds the owner
}

PyObject* ToPy<DoubleArray>::convert(DoubleArray&& array) {
    const int nd = array.ndim();
    const auto extent = [&](int k) { return k < nd ? static_cast<std::size_t>(array.shape()[k]) : 0; };
    return array_view({array.storage(), array.data(), 'd', nd, extent(0), extent(1), extent(2)});
}

}  // namespace kp
