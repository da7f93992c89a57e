// One row given where a table is read: a point where points are, a matrix
// where matrices are. The rest of TableLoader is in convert.cpp.
#include "frame/convert.hpp"

namespace kp {

namespace {

// A number, not a row: Python's and numpy's scalars (an array has a float
// conversion too, but is a sequence). Asks the type only, runs no code.
bool is_number(PyObject* o) noexcept { return PyNumber_Check(o) && !PySequence_Check(o); }

}  // namespace

bool TableLoader::load_or_single(PyObject* o, std::span<const std::size_t> dims, Table& v) {
    single_ok_ = true;
    return load(o, dims, v);
}

// A list or tuple whose first item is a number (one point), or whose first
// item is a list or tuple starting with a number (one matrix's rows). Other
// sequences are read as tables: telling would take their first item twice.
bool TableLoader::looks_single(PyObject* o, std::span<const std::size_t> dims) noexcept {
    for (std::size_t depth = 0; depth < dims.size(); ++depth) {
        if (!(PyList_Check(o) || PyTuple_Check(o)) || PySequence_Fast_GET_SIZE(o) == 0) return false;
        o = PySequence_Fast_GET_ITEM(o, 0);
    }
    return is_number(o);
}

// The row read as a table of its own shape, then described as one row.
bool TableLoader::load_single_sequence(PyObject* o, std::span<const std::size_t> dims, Table& v) {
    single_ok_ = false;
    single_ = true;
    if (!load(o, dims.subspan(1), v, dims[0])) return false;
    v.rows = 1;
    if (dims.size() == 1) {
        v.col_stride = v.row_stride;
    } else {
        v.sub_stride = v.row_stride;
        v.col_stride = sizeof(double);
    }
    v.row_stride = 0;
    return true;
}

// One item of a table of matrices given as a buffer (a Mat3, a (3, 3)
// array): read at once, in any strides, into the collected numbers.
bool TableLoader::load_block(PyObject* item, const std::string& label, std::span<const std::size_t> dims) {
    TableLoader inner;
    Table t;
    if (!inner.load(item, dims.subspan(1), t, dims[0])) {
        prefix_type_error((label + ": ").c_str());
        prefix_error((label + ": ").c_str(), PyExc_ValueError);
        return false;
    }
    for (std::size_t r = 0; r < dims[0]; ++r)
        for (std::size_t c = 0; c < dims[1]; ++c) {
            const char* p = t.base + static_cast<std::ptrdiff_t>(r) * t.row_stride +
                            static_cast<std::ptrdiff_t>(c) * t.col_stride;
            if (t.type == Table::Type::f64) {
                double d;
                std::memcpy(&d, p, sizeof d);
                collected.push_back(d);
            } else {
                float f;
                std::memcpy(&f, p, sizeof f);
                collected.push_back(f);
            }
        }
    return true;
}

}  // namespace kp
