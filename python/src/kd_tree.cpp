// Python class KdTree: the exact spatial index of core/src/spatial. Builds and
// batched queries run on the pool and stop on Ctrl-C; array results are
// handed over without a copy (NdArray).
#include <limits>
#include <span>
#include <stdexcept>

#include "point_cloud.hpp"
#include "memory/block_cache.hpp"

namespace kp {
namespace {

using kestrum::Vec3d;
using kestrum::spatial::KdTree;
namespace pool = kestrum::parallel;
using B = Binder<KdTree>;

template <class T>
using Array = NdArray<T, UninitAllocator<T>>;

// The build reads its points in place when they already are Vec3ds (float64,
// packed, aligned), as it reads each once before its first signal poll; other
// rows are copied first.
KdTree make(const Points& points) {
    if (points.rows > KdTree::kMaxPoints)
        raise(PyExc_ValueError, "a KdTree holds at most " + std::to_string(KdTree::kMaxPoints) + " points");
    VecListValue copy;
    std::span<const Vec3d> pts;
    if (points.type == Rows3::Type::f64 && points.row_stride == static_cast<std::ptrdiff_t>(sizeof(Vec3d)) &&
        points.col_stride == static_cast<std::ptrdiff_t>(sizeof(double)) &&
        reinterpret_cast<std::uintptr_t>(points.base) % alignof(Vec3d) == 0) {
        pts = {reinterpret_cast<const Vec3d*>(points.base), points.rows};
    } else {
        copy = vec_list_from_rows(points);
        pts = {copy.items.data(), copy.items.size()};
    }
    return interruptible([&](pool::Stop& stop) { return KdTree(pts, pool::global(), &stop); });
}

std::uint64_t length(const KdTree& self) { return self.size(); }

VecListValue points(const KdTree& self) {
    VecArray out(self.size());
    self.points_into(out.data(), pool::global());
    return {std::move(out)};
}

std::string repr(const KdTree& self) { return "KdTree(" + std::to_string(self.size()) + " points)"; }

std::pair<std::uint64_t, double> nearest(const KdTree& self, Point point) {
    const KdTree::Hit hit = self.nearest(point);
    return {hit.index, hit.distance};
}

std::tuple<Array<std::int64_t>, Array<double>> nearest_many(const KdTree& self, const Points& points,
                                                            std::uint64_t k) {
    if (k == 0) raise(PyExc_ValueError, "k must be at least 1");
    const std::size_t m = points.rows;
    // Every extent and the byte count of an (m, k) result must fit a Py_ssize_t,
    // an empty one included; a k beyond that is an impossible size.
    constexpr std::size_t kMaxItems = static_cast<std::size_t>(PY_SSIZE_T_MAX) / 8;
    if (k > kMaxItems || (m != 0 && k > kMaxItems / m)) throw std::bad_alloc();
    // The padding past len(tree) is written too, so a k far beyond the tree
    // could fill the machine: refused when it cannot fit at all.
    if (kestrum::memory::beyond_machine_memory(m * k, sizeof(std::int64_t) + sizeof(double)))
        throw std::bad_alloc();
    // A batch reads its queries in several pool phases, with signal polls
    // (Python code) between and beside them: so from a copy, taken first.
    const VecListValue queries = vec_list_from_rows(points);
    Array<std::int64_t> idx{std::vector<std::int64_t, UninitAllocator<std::int64_t>>(m * k), m, k};
    Array<double> dist{std::vector<double, UninitAllocator<double>>(m * k), m, k};
    interruptible([&](pool::Stop& stop) {
        self.nearest_many(queries.items, k, idx.values.data(), dist.values.data(), pool::global(), &stop);
        return 0;
    });
    return {std::move(idx), std::move(dist)};
}

NdArray<std::int64_t> within(const KdTree& self, Point point, double radius) {
    std::vector<std::int64_t> found = self.within(point, radius);
    const std::size_t n = found.size();
    return {std::move(found), n, 0};  // handed over, not copied
}

std::tuple<Array<std::int64_t>, Array<std::int64_t>> within_many(const KdTree& self, const Points& points,
                                                                 double radius) {
    const std::size_t m = points.rows;
    const VecListValue queries = vec_list_from_rows(points);  // copied first, as in nearest_many
    Array<std::int64_t> offsets{std::vector<std::int64_t, UninitAllocator<std::int64_t>>(m + 1), m + 1, 0};
    Array<std::int64_t> indices;
    interruptible([&](pool::Stop& stop) {
        self.within_many(
            queries.items, radius, offsets.values.data(),
            [&indices](std::size_t total) {
                indices.values.resize(total);
                indices.rows = total;
                return indices.values.data();
            },
            pool::global(), &stop);
        return 0;
    });
    return {std::move(offsets), std::move(indices)};
}

PyMethodDef methods[] = {
    B::method<"nearest", &nearest, "point">("Index and distance of the nearest point to `point` (len(tree), inf if none)."),
    B::method<"nearest_many", &nearest_many, "points", "k">("For each of `points` (one point alone is one query), the indices and distances of its `k` nearest points, as (m, k) arrays."),
    B::method<"within", &within, "point", "radius">("Indices of the points at distance <= `radius` from `point`, ascending."),
    B::method<"within_many", &within_many, "points", "radius">("For each of `points`, the indices within `radius`, as CSR (offsets, indices)."),
    B::method<"normals", &tree_normals, "k=16", "points=None", "toward=None">("For each of `points` (default: the tree's own), the unit normal of the least-squares plane of its `k` nearest tree points (all of them if fewer), as a VecList; facing `toward` if given, else its largest component positive; NaN where undefined."),
    B::method<"normals_and_curvature", &tree_normals_and_curvature, "k=16", "points=None", "toward=None">("normals() and, from the same pass, each neighbourhood's curvature: smallest eigenvalue over their sum."),
    B::reduce(),
    {},
};

PyGetSetDef properties[] = {
    B::property<"points", &points>("A new VecList of the points in their original order."),
    {},
};

const PyType_Slot slots[] = {
    B::len<&length>("The number of points."),
    B::repr<&repr>(),
    {0, nullptr},
};

}  // namespace

// Protocol 5 hands the block over as a PickleBuffer (out of band when pickle
// is given a buffer_callback); the view it wraps keeps the tree alive.
PyObject* Pickled<KdTree>::state(PyObject* self, const KdTree& value, std::uint64_t protocol) {
    const auto bytes = value.bytes();
    if (protocol < 5)
        return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                         static_cast<Py_ssize_t>(bytes.size()));
    std::shared_ptr<void> keep(Py_NewRef(self), [](void* o) { Py_DECREF(static_cast<PyObject*>(o)); });
    const Ref owner(array_owner({std::move(keep), bytes.data(), 'q', 1, bytes.size() / 8, 0, 0}));
    return owner ? PyPickleBuffer_FromObject(owner.get()) : nullptr;
}

KdTree Pickled<KdTree>::load(Bytes state) {
    try {
        return interruptible([&](pool::Stop& stop) {
            return KdTree::from_bytes({state.data, state.size}, pool::global(), &stop);
        });
    } catch (const std::invalid_argument& e) {
        raise(PyExc_ValueError, e.what());
    }
}

const TypeDef& Class<KdTree>::def() {
    static const TypeDef def = make_type<KdTree>(
        B::constructor<&make, "points">("An exact nearest-neighbour index over a copy of `points`."), slots,
        methods, properties);
    return def;
}

}  // namespace kp
