// Python class Mat3: an immutable 3x3 matrix that reads like the list of its
// rows (len, m[r], m[r, c], iteration, == with lists) and exports a (3, 3)
// float64 buffer.
#include "classes.hpp"

namespace kp {
namespace {

using kestrum::Mat3;
using kestrum::Matrix3;
using kestrum::Vec3d;
using B = Binder<Matrix3>;
using Row = std::array<double, 3>;

Matrix3 make(const Mat3& rows) { return {rows}; }

const Mat3& tolist(const Matrix3& m) { return m.rows; }
Matrix3 transpose(const Matrix3& m) { return m.transpose(); }
std::string repr(const Matrix3& m) { return m.to_string(); }
std::uint64_t length(const Matrix3&) { return 3; }
IterOf<Mat3> iter(const Matrix3& m) { return {m.rows}; }
DoubleBlock block(const Matrix3& m) { return {m.rows[0].data(), 3, 3}; }

std::size_t at(Index i) {
    if (i.v < -3 || i.v > 2) raise(PyExc_IndexError, "Mat3 index out of range");
    return static_cast<std::size_t>(i.v < 0 ? i.v + 3 : i.v);
}
std::variant<Row, double, std::vector<Row>> item(const Matrix3& m,
                                                 const std::variant<Index, std::tuple<Index, Index>, Slice>& key) {
    if (const Index* r = std::get_if<Index>(&key)) return m.rows[at(*r)];
    if (const Slice* s = std::get_if<Slice>(&key)) {
        std::vector<Row> rows;
        for (std::size_t r : s->positions(3)) rows.push_back(m.rows[r]);
        return rows;
    }
    const auto& [r, c] = std::get<1>(key);
    return m.rows[at(r)][at(c)];
}

std::variant<Vec3d, Matrix3> matmul(const Matrix3& m, const OneOf<Vec3d, Matrix3>& other) {
    if (const Vec3d* const* v = std::get_if<const Vec3d*>(&other.v)) return m.apply(**v);
    return m.then_apply(*std::get<const Matrix3*>(other.v));
}

// Another Mat3 entry by entry (IEEE ==, so a NaN entry is unequal); a list
// or tuple as the list of rows compares; anything else is not ours to judge.
PyObject* eq(const Matrix3& m, const std::variant<Matrix3, PyObject*>& other) {
    if (const Matrix3* n = std::get_if<Matrix3>(&other)) {
        bool same = true;
        for (int r = 0; r < 3; ++r)
            for (int c = 0; c < 3; ++c) same &= m.rows[r][c] == n->rows[r][c];
        return PyBool_FromLong(same);
    }
    PyObject* o = std::get<PyObject*>(other);
    if (!PyList_Check(o) && !PyTuple_Check(o)) Py_RETURN_NOTIMPLEMENTED;
    const Ref rows(to_py(m.rows));
    return rows ? PyObject_RichCompare(rows.get(), o, Py_EQ) : nullptr;
}

PyMethodDef methods[] = {
    B::method<"tolist", &tolist>("The rows as a list of three lists of three floats."),
    B::method<"transpose", &transpose>("The transposed matrix."),
    B::reduce(),
    {},
};

const PyType_Slot slots[] = {
    B::repr<&repr>(),
    B::len<&length>("3, the number of rows."),
    B::item<&item, "index">("Row `index` as a new list of three floats, with (row, column) one entry, with a slice a "
                            "list of rows; negative indices count from the end."),
    B::iter<&iter>("Iterates over the rows, each a new list of three floats."),
    B::comparison<nullptr, nullptr, &eq, nullptr, nullptr, true>(
        "Equal entries (IEEE ==); a list or tuple compares as tolist() does; != is its negation and, like ==, leaves "
        "other operands to them."),
    B::number<Py_nb_matrix_multiply, &matmul>("The product: with a Vec3d the vector m v, with a Mat3 the matrix m n."),
    B::buffer<&block>("A read-only (3, 3) float64 view of the entries, row by row."),
    B::buffer_release(),
    {0, nullptr},
};

}  // namespace

const TypeDef& Class<Matrix3>::def() {
    static const TypeDef def =
        make_type<Matrix3>(B::constructor<&make, "rows">(
                               "An immutable 3x3 matrix from three rows of three numbers or a (3, 3) float buffer."),
                           slots, methods);
    return def;
}

}  // namespace kp
