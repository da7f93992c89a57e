// Python class KdTree: the exact spatial index of core/src/spatial. Builds and
// batched queries run on the pool and stop on Ctrl-C; array results are
// handed over without a copy (Array).
#include <limits>
#include <optional>
#include <span>
#include <stdexcept>
#include <variant>
#include <vector>

#include "point_cloud.hpp"
#include "memory/block_cache.hpp"

namespace kp {
namespace {

using kestrum::Vec3d;
using kestrum::spatial::KdTree;
namespace pool = kestrum::parallel;
using B = Binder<KdTree>;

template <class T>
using Values = std::vector<T, UninitAllocator<T>>;  // written in full by the pool

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

std::tuple<Array, Array> nearest_many(const KdTree& self, const Points& points, std::uint64_t k,
                                      std::optional<double> max_distance) {
    if (k == 0) raise(PyExc_ValueError, "k must be at least 1");
    const std::size_t m = points.rows;
    // Every extent and the byte count of an (m, k) result must fit a Py_ssize_t,
    // an empty one included; a k beyond that is an impossible size.
    constexpr std::size_t kMaxItems = static_cast<std::size_t>(PY_SSIZE_T_MAX) / 8;
    if (k > kMaxItems || (m != 0 && k > kMaxItems / m)) throw std::bad_alloc();
    // The padding past len(tree) is written too, so a k far beyond the tree
    // could fill the machine: refused when it cannot fit at all.
    if (kestrum::memory::beyond_machine_memory(m * k, sizeof(std::int64_t) + sizeof(double))) throw std::bad_alloc();
    // A batch reads its queries in several pool phases, with signal polls
    // (Python code) between and beside them: so from a copy, taken first.
    const VecListValue queries = vec_list_from_rows(points);
    Values<std::int64_t> idx(m * k);
    Values<double> dist(m * k);
    interruptible([&](pool::Stop& stop) {
        self.nearest_many(queries.items, k, idx.data(), dist.data(), pool::global(), &stop,
                          max_distance.value_or(std::numeric_limits<double>::infinity()));
        return 0;
    });
    return {Array(std::move(idx), {m, k}), Array(std::move(dist), {m, k})};
}

Array within(const KdTree& self, Point point, double radius) {
    std::vector<std::int64_t> found = self.within(point, radius);
    const std::size_t n = found.size();
    return {std::move(found), {n}};  // handed over, not copied
}

// One radius for every query, or one per query.
using Radius = std::variant<double, Rows<>>;

// The radii, read now (before any Python code can run again): one, or
// exactly one per query.
std::vector<double> radii_of(const Radius& radius, std::size_t m) {
    if (radius.index() == 0) return {std::get<0>(radius)};
    const Rows<>& r = std::get<1>(radius);
    if (r.rows != m)
        raise(PyExc_ValueError, "argument 'radius': expected one radius or one per query (" + std::to_string(m) +
                                    "), got " + std::to_string(r.rows));
    std::vector<double> out(m);
    for (std::size_t i = 0; i < m; ++i)
        out[i] = read_cell(r.type, r.base + static_cast<std::ptrdiff_t>(i) * r.row_stride);
    return out;
}

std::tuple<Array, Array> within_many(const KdTree& self, const Points& points, const Radius& radius,
                                     std::optional<std::uint64_t> max_neighbours) {
    if (max_neighbours == 0u) raise(PyExc_ValueError, "max_neighbours must be at least 1");
    const std::size_t m = points.rows;
    const std::vector<double> radii = radii_of(radius, m);
    const VecListValue queries = vec_list_from_rows(points);  // copied first, as in nearest_many
    Values<std::int64_t> offsets(m + 1);
    Values<std::int64_t> indices;
    interruptible([&](pool::Stop& stop) {
        self.within_many(
            queries.items, radii, max_neighbours.value_or(0), offsets.data(),
            [&indices](std::size_t total) {
                indices.resize(total);
                return indices.data();
            },
            pool::global(), &stop);
        return 0;
    });
    const std::size_t total = indices.size();
    return {Array(std::move(offsets), {m + 1}), Array(std::move(indices), {total})};
}

Array count_within(const KdTree& self, const Points& points, const Radius& radius) {
    const std::size_t m = points.rows;
    const std::vector<double> radii = radii_of(radius, m);
    const VecListValue queries = vec_list_from_rows(points);
    Values<std::int64_t> counts(m);
    interruptible([&](pool::Stop& stop) {
        self.count_within(queries.items, radii, counts.data(), pool::global(), &stop);
        return 0;
    });
    return Array(std::move(counts), {m});
}

Array pairs_within(const KdTree& self, double radius) {
    Values<std::int64_t> pairs;
    std::size_t rows = 0;
    interruptible([&](pool::Stop& stop) {
        self.pairs_within(
            radius,
            [&pairs, &rows](std::size_t total) {
                pairs.resize(2 * total);
                rows = total;
                return pairs.data();
            },
            pool::global(), &stop);
        return 0;
    });
    return Array(std::move(pairs), {rows, 2});
}

PyMethodDef methods[] = {
    B::method<"nearest", &nearest, "point">(
        "Index and distance of the nearest point to `point` (len(tree), inf if none)."),
    B::method<"nearest_many", &nearest_many, "points", "k", "max_distance=None">(
        "For each of `points` (one point alone is one query), the indices and distances of its `k` nearest points at "
        "distance <= `max_distance` (None: any), as (m, k) arrays.",
        Raises{"ValueError: k must be at least 1", "MemoryError"}),
    B::method<"within", &within, "point", "radius">(
        "Indices of the points at distance <= `radius` from `point`, ascending."),
    B::method<"within_many", &within_many, "points", "radius", "max_neighbours=None">(
        "For each of `points`, the indices within `radius` (one, or one per query), as CSR (offsets, indices): "
        "ascending, or the `max_neighbours` nearest, nearest first.",
        Raises{"ValueError: argument 'radius': expected one radius", "ValueError: max_neighbours must be at least 1"}),
    B::method<"count_within", &count_within, "points", "radius">(
        "For each of `points`, the number of points within `radius` (one, or one per query), as an (m,) array.",
        Raises{"ValueError: argument 'radius': expected one radius"}),
    B::method<"pairs_within", &pairs_within, "radius">(
        "Every pair (i, j), i < j, of points at distance <= `radius`, ascending, as a (p, 2) array."),
    B::method<"normals", &tree_normals, "k=16", "points=None", "toward=None">(
        "For each of `points` (default: the tree's own), the unit normal of the least-squares plane of its `k` nearest "
        "tree points (all of them if fewer), as a VecList; facing `toward` if given, else its largest component "
        "positive; NaN where undefined.",
        Raises{"ValueError: k must be at least 3"}),
    B::method<"normals_and_curvature", &tree_normals_and_curvature, "k=16", "points=None", "toward=None">(
        "normals() and, from the same pass, each neighbourhood's curvature: smallest eigenvalue over their sum.",
        Raises{"ValueError: k must be at least 3"}),
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
    std::shared_ptr<const void> keep(Py_NewRef(self),
                                     [](const void* o) { Py_DECREF(static_cast<PyObject*>(const_cast<void*>(o))); });
    const std::size_t words = bytes.size() / 8;
    const Ref owner(to_py(Array::viewing(std::move(keep), bytes.data(), 'q', {words}, words)));
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
    static const TypeDef def =
        make_type<KdTree>(B::constructor<&make, "points">("An exact nearest-neighbour index over a copy of `points`."),
                          slots, methods, properties);
    return def;
}

}  // namespace kp
