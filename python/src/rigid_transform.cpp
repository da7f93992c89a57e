// Python classes RigidTransform and IcpResult, and the module function icp:
// rigid motions of point clouds and their registration on the pool.
#include <cmath>
#include <string>
#include <variant>

#include "element_list.hpp"
#include "kestrum/format.hpp"
#include "points.hpp"
#include "spatial/icp.hpp"
#include "spatial/rigid_fit.hpp"

namespace kp {
namespace {

using kestrum::Quat;
using kestrum::RigidTransform;
using kestrum::Vec3d;
using kestrum::spatial::IcpResult;
using kestrum::spatial::KdTree;
namespace formula = kestrum::formula;
namespace pool = kestrum::parallel;
using B = Binder<RigidTransform>;
using R = Binder<IcpResult>;

RigidTransform make(Quat rotation, Point translation) { return {rotation, translation}; }
RigidTransform identity() { return RigidTransform::identity(); }
Quat rotation(const RigidTransform& t) { return t.rotation; }
Vec3d translation(const RigidTransform& t) { return t.translation; }
RigidTransform then(const RigidTransform& t, const RigidTransform& o) { return t.then(o); }
RigidTransform inverse(const RigidTransform& t) { return t.inverse(); }
std::string repr(const RigidTransform& t) { return t.to_string(); }

// Components compared with IEEE ==, so a NaN component is unequal; q and -q
// are the same motion but different values.
bool eq(const RigidTransform& a, const RigidTransform& b) {
    const Quat p = a.rotation, q = b.rotation;
    const Vec3d s = a.translation, t = b.translation;
    return p.w == q.w && p.i == q.i && p.j == q.j && p.k == q.k && s.x == t.x && s.y == t.y && s.z == t.z;
}

// One point gives a Vec3d; many give a VecList, element i computed by the
// same formula as the single call.
std::variant<Vec3d, VecListValue> apply(const RigidTransform& t, const Points& x) {
    if (x.single) return t.apply(point_at(x, 0));
    if (x.own) {
        const Vec3d* e = x.own;
        return VecListValue{lists::bulk_formula<Vec3d>(
            x.rows, [e, &t](auto a, std::size_t i) { return formula::apply<decltype(a)>(t, e[i]); }, 2)};
    }
    return VecListValue{lists::bulk_from_table<Vec3d, 1, 3>(
        x,
        [&t](auto a, const std::array<double, 3>& c) {
            return formula::apply<decltype(a)>(t, Vec3d{c[0], c[1], c[2]});
        },
        2)};
}

Array as_matrix(const RigidTransform& t) {
    const auto m = t.as_matrix();
    return Array(std::vector<double>(m.begin(), m.end()), {4, 4});
}

RigidTransform from_matrix(const Rows<4>& m) {
    if (m.rows != 4) raise(PyExc_ValueError, "expected a 4x4 matrix, got " + std::to_string(m.rows) + " rows of 4");
    std::array<double, 16> c;
    for (std::size_t r = 0; r < 4; ++r)
        for (std::size_t k = 0; k < 4; ++k)
            c[4 * r + k] = read_cell(m.type, m.base + static_cast<std::ptrdiff_t>(r) * m.row_stride +
                                                 static_cast<std::ptrdiff_t>(k) * m.col_stride);
    auto checked = kestrum::from_matrix(c);
    if (!checked.transform) raise(PyExc_ValueError, checked.error);
    return *checked.transform;
}

std::pair<RigidTransform, double> align(const Points& a, const Points& b, const std::optional<Column>& weights) {
    const std::size_t n = a.rows;
    if (b.rows != n)
        raise(PyExc_ValueError,
              "a and b differ in length (" + std::to_string(n) + " and " + std::to_string(b.rows) + ")");
    if (n == 0) raise(PyExc_ValueError, "align needs at least one pair of points");
    const std::vector<double> w = weights_of(weights, n, "pair");
    VecListValue copy_a, copy_b;
    const auto pa = point_span(a, copy_a), pb = point_span(b, copy_b);
    const auto fit = kestrum::spatial::align(pa, pb, w.empty() ? nullptr : w.data(), pool::global());
    return {fit.transform, fit.rmsd};
}

RigidTransform result_transform(const IcpResult& r) { return r.transform; }
double result_rmse(const IcpResult& r) { return r.rmse; }
double result_fitness(const IcpResult& r) { return r.fitness; }
std::uint64_t result_iterations(const IcpResult& r) { return r.iterations; }
bool result_converged(const IcpResult& r) { return r.converged; }
std::string result_repr(const IcpResult& r) {
    return "IcpResult(transform=" + r.transform.to_string() + ", rmse=" + kestrum::format_double(r.rmse) +
           ", fitness=" + kestrum::format_double(r.fitness) + ", iterations=" + std::to_string(r.iterations) +
           ", converged=" + (r.converged ? "True" : "False") + ")";
}

IcpResult icp(const Points& source, const std::variant<OneOf<KdTree>, Points>& target, double max_distance,
              const std::optional<RigidTransform>& init, const std::optional<std::uint64_t>& iterations,
              const std::optional<double>& tolerance, const std::optional<bool>& point_to_plane,
              const std::optional<Points>& target_normals) {
    if (!(max_distance > 0.0))
        raise(PyExc_ValueError, "max_distance must be positive, got " + kestrum::format_double(max_distance));
    const double tol = tolerance.value_or(1e-10);
    if (!(tol >= 0.0)) raise(PyExc_ValueError, "tolerance must be non-negative, got " + kestrum::format_double(tol));
    const bool plane = point_to_plane.value_or(false);
    if (plane && !target_normals)
        raise(PyExc_ValueError, "point_to_plane needs target_normals, one normal per target point");
    // Everything read from the caller is copied before the first signal poll.
    VecListValue src_copy, normals_copy;
    const auto src = point_span(source, src_copy);
    KdTree built;
    const KdTree* tree;
    if (const auto* t = std::get_if<0>(&target)) {
        tree = std::get<0>(t->v);
    } else {
        const Points& pts = std::get<1>(target);
        if (pts.rows > KdTree::kMaxPoints)
            raise(PyExc_ValueError, "a KdTree holds at most " + std::to_string(KdTree::kMaxPoints) + " points");
        VecListValue copy;
        const auto span = point_span(pts, copy);
        built = interruptible([&](pool::Stop& stop) { return KdTree(span, pool::global(), &stop); });
        tree = &built;
    }
    VecArray tp(tree->size());
    tree->points_into(tp.data(), pool::global());
    const Vec3d* normals = nullptr;
    if (plane) {
        const auto nspan = point_span(*target_normals, normals_copy);
        if (nspan.size() != tree->size())
            raise(PyExc_ValueError, "target_normals has " + std::to_string(nspan.size()) + " normals for " +
                                        std::to_string(tree->size()) + " target points");
        normals = nspan.data();
    }
    const kestrum::spatial::IcpOptions opt{max_distance, iterations.value_or(30), tol, plane};
    const RigidTransform start = init.value_or(RigidTransform::identity());
    return interruptible([&](pool::Stop& stop) {
        return kestrum::spatial::icp(src, *tree, {tp.data(), tp.size()}, normals, start, opt, pool::global(), &stop);
    });
}

PyMethodDef methods[] = {
    B::static_method<"identity", &identity>("The transform that moves nothing."),
    B::method<"then", &then, "other">("This transform followed by `other`: x -> other.apply(self.apply(x))."),
    B::method<"inverse", &inverse>("The transform undoing this one: rotation inverted, translation -(rotation^-1 t)."),
    B::method<"apply", &apply, "x">(
        "rotation.rotate(x) + translation: a Vec3d (or three numbers) gives a Vec3d; a VecList, an (n, 3) buffer or "
        "rows give a new VecList, element i equal to apply(x[i])."),
    B::method<"as_matrix", &as_matrix>("The homogeneous 4x4 matrix acting on column vectors (rotation block, "
                                       "translation column, bottom row 0 0 0 1), as a read-only float64 buffer."),
    B::static_method<"from_matrix", &from_matrix, "m">(
        "The transform of a 4x4 homogeneous matrix; the bottom row must be (0, 0, 0, 1) and the block a rotation (B^T "
        "B within 64 * 2**-52 of I entry by entry, det > 0), else ValueError.",
        Raises{"ValueError: expected a 4x4", "ValueError: the bottom row", "ValueError: the upper-left 3x3 block",
               "ValueError: the translation column"}),
    B::static_method<"align", &align, "a", "b", "weights=None">(
        "The rigid transform T minimising sum w |T.apply(a[i]) - b[i]|^2 (centroids inside, no scaling), and the "
        "weighted RMS residual.",
        Raises{"ValueError: a and b differ in length", "ValueError: align needs at least one pair",
               "ValueError: expected", "ValueError: weights must be finite", "ValueError: the weights are all zero"}),
    B::reduce(),
    {},
};

PyGetSetDef properties[] = {
    B::property<"rotation", &rotation>("The rotation, applied first."),
    B::property<"translation", &translation>("The translation, added after the rotation."),
    {},
};

const PyType_Slot slots[] = {
    B::repr<&repr>(),
    B::comparison<nullptr, nullptr, &eq, nullptr, nullptr, true>("Equal components (IEEE ==); != is its negation."),
    {0, nullptr},
};

PyGetSetDef result_properties[] = {
    R::property<"transform", &result_transform>("The transform found."),
    R::property<"rmse", &result_rmse>("The RMS distance of the final correspondences; NaN when there are none."),
    R::property<"fitness", &result_fitness>("The share of source points with a correspondence within max_distance."),
    R::property<"iterations", &result_iterations>("The number of updates made."),
    R::property<"converged", &result_converged>("Whether fitness and rmse changed by less than the tolerance."),
    {},
};

const PyType_Slot result_slots[] = {
    R::repr<&result_repr>(),
    {0, nullptr},
};

}  // namespace

PyMethodDef* rigid_functions() {
    static PyMethodDef functions[] = {
        function<"icp", &icp, "source", "target", "max_distance", "*init=None", "*iterations=30", "*tolerance=1e-10",
                 "*point_to_plane=False", "*target_normals=None">(
            "Iterative closest point: the rigid transform taking `source` onto `target` (a KdTree or points), refined "
            "from `init`; point to point, or point to plane with `target_normals`.",
            nullptr,
            Raises{"ValueError: max_distance must be positive", "ValueError: tolerance must be non-negative",
                   "ValueError: point_to_plane needs target_normals", "ValueError: a KdTree holds at most",
                   "ValueError: target_normals has", "ValueError: expected"}),
        {},
    };
    return functions;
}

const TypeDef& Class<RigidTransform>::def() {
    static const TypeDef def = make_type<RigidTransform>(
        B::constructor<&make, "rotation", "translation">("A rigid motion x -> rotation.rotate(x) + translation."),
        slots, methods, properties);
    return def;
}

const TypeDef& Class<IcpResult>::def() {
    static const TypeDef def = make_type<IcpResult>({}, result_slots, {}, result_properties);
    return def;
}

}  // namespace kp
