// The geo submodule: positions on a sphere as latitude and longitude, arcs
// and chords, great-circle angles. Every function takes one value or many;
// many run on the pool, each element through the same core function as a
// single value, so the two give the same bits.
#include <span>
#include <string>
#include <tuple>
#include <variant>

#include "kestrum/geo.hpp"
#include "parallel/algorithms.hpp"
#include "points.hpp"

namespace kp {

// One number, or a column of them (a 1-D float buffer or a sequence of
// numbers): a table whose single row is `one` in the first case.
struct Numbers : Table {
    bool single = false;
    double one = 0.0;
};
template <>
struct FromPy<Numbers> : TableLoader {
    Numbers v;
    bool load(PyObject* o) {
        if (!is_number(o)) {
            name_others("a number, ");
            return TableLoader::load(o, {}, v);
        }
        FromPy<double> d;
        if (!d.load(o)) return false;
        v.one = d.get();
        v.single = true;
        v.base = reinterpret_cast<const char*>(&v.one);
        v.rows = 1;
        return true;
    }
    const Numbers& get() const noexcept { return v; }
    static constexpr bool names_value_errors = true;
    static std::string py_type() { return "_Float | _Column"; }

private:
    // Python numbers, numpy scalars and 0-d arrays; any other buffer or
    // sequence is a column.
    static bool is_number(PyObject* o) {
        if (PyFloat_Check(o) || PyLong_Check(o)) return true;
        if (PyObject_CheckBuffer(o)) {
            Py_buffer view;
            if (PyObject_GetBuffer(o, &view, PyBUF_RECORDS_RO) < 0) {
                PyErr_Clear();  // the table reader reports it
                return false;
            }
            const bool scalar = view.ndim == 0;
            PyBuffer_Release(&view);
            return scalar;
        }
        return !PySequence_Check(o);
    }
};

namespace {

namespace geo = kestrum::geo;
namespace pool = kestrum::parallel;
using kestrum::Vec3d;

// A libm call or several per element: weigh them as the heaviest formulas.
constexpr std::size_t kWeight = 8;

double number_at(const Table& t, std::size_t i) noexcept {
    return read_cell(t.type, t.base + static_cast<std::ptrdiff_t>(i) * t.row_stride);
}

// The length of an element-wise result: a single value goes with every
// element of the other argument; two lists must have equal lengths.
std::size_t pair_length(const char* what, const char* names, std::size_t a, bool a_single, std::size_t b,
                        bool b_single) {
    if (a_single) return b;
    if (b_single || a == b) return a;
    raise(PyExc_ValueError, std::string(what) + ": " + names + " have different lengths (" + std::to_string(a) +
                                " and " + std::to_string(b) + ")");
}

// out[i] = f(i) on the pool, in order.
template <class Out, class F>
ElementArray<Out> each(std::size_t n, const F& f) {
    ElementArray<Out> out(n);
    Out* o = out.data();
    pool::map_ranges<pool::Lanes::scalar>(
        std::span<Out>(o, n),
        [o, &f](std::size_t lo, std::size_t hi) {
            for (std::size_t i = lo; i < hi; ++i) o[i] = f(i);
        },
        kWeight);
    return out;
}

std::variant<Vec3d, VecListValue> from_lat_lon(const Numbers& lat, const Numbers& lon, Flag<true> degrees) {
    const auto point = degrees.value ? &geo::from_lat_lon_degrees : &geo::from_lat_lon_radians;
    if (lat.single && lon.single) return point(lat.one, lon.one);
    const std::size_t n = pair_length("from_lat_lon", "lat and lon", lat.rows, lat.single, lon.rows, lon.single);
    // A single value's row stride is 0: it is read as every row.
    return VecListValue{each<Vec3d>(n, [&](std::size_t i) { return point(number_at(lat, i), number_at(lon, i)); })};
}

using LatLonPair = std::tuple<double, double>;
using LatLonArrays = std::tuple<Array, Array>;

std::variant<LatLonPair, LatLonArrays> to_lat_lon(const Points& p, Flag<true> degrees) {
    const auto angles = degrees.value ? &geo::to_lat_lon_degrees : &geo::to_lat_lon_radians;
    if (p.single) {
        const geo::LatLon r = angles(point_at(p, 0));
        return LatLonPair{r.lat, r.lon};
    }
    const std::size_t n = p.rows;
    ElementArray<double> lat(n), lon(n);
    double* a = lat.data();
    double* b = lon.data();
    pool::map_ranges<pool::Lanes::scalar>(
        std::span<double>(a, n),
        [a, b, &p, angles](std::size_t lo, std::size_t hi) {
            for (std::size_t i = lo; i < hi; ++i) {
                const geo::LatLon r = angles(point_at(p, i));
                a[i] = r.lat;
                b[i] = r.lon;
            }
        },
        kWeight);
    return LatLonArrays{Array(std::move(lat), {n}), Array(std::move(lon), {n})};
}

template <double (*F)(double)>
std::variant<double, Array> elementwise(const Numbers& x) {
    if (x.single) return F(x.one);
    return Array(each<double>(x.rows, [&x](std::size_t i) { return F(number_at(x, i)); }), {x.rows});
}

std::variant<double, Array> great_circle(const Points& a, const Points& b) {
    if (a.single && b.single) return geo::great_circle(point_at(a, 0), point_at(b, 0));
    const std::size_t n = pair_length("great_circle", "a and b", a.rows, a.single, b.rows, b.single);
    const Vec3d a0 = a.rows ? point_at(a, 0) : Vec3d{}, b0 = b.rows ? point_at(b, 0) : Vec3d{};
    return Array(each<double>(n,
                              [&](std::size_t i) {
                                  return geo::great_circle(a.single ? a0 : point_at(a, i),
                                                           b.single ? b0 : point_at(b, i));
                              }),
                 {n});
}

}  // namespace

PyMethodDef* geo_functions() {
    static PyMethodDef functions[] = {
        function<"from_lat_lon", &from_lat_lon, "lat", "lon", "*degrees=True">(
            "Unit vectors at latitudes `lat` and longitudes `lon` (x towards (0, 0), z towards the north pole): a "
            "Vec3d for two numbers, else a VecList, a number going with every element of a column. In degrees, "
            "multiples of 90 give exact components.",
            nullptr, Raises{"ValueError: from_lat_lon"}),
        function<"to_lat_lon", &to_lat_lon, "points", "*degrees=True">(
            "Latitude and longitude of the directions of `points` (their lengths do not matter): two floats for one "
            "point, else two float64 buffers of shape (n,)."),
        function<"arc_to_chord", &elementwise<&geo::arc_to_chord>, "angle">(
            "2 sin(angle / 2): the straight-line distance between points of the unit sphere `angle` radians of arc "
            "apart; a float or an (n,) float64 buffer."),
        function<"chord_to_arc", &elementwise<&geo::chord_to_arc>, "chord">(
            "2 asin(chord / 2), the arc in radians of a chord of the unit sphere; chords beyond the diameter give pi. "
            "A float or an (n,) float64 buffer."),
        function<"great_circle", &great_circle, "a", "b">(
            "The angle in radians, in [0, pi], between the directions of `a` and `b` (lengths do not matter), accurate "
            "at every separation; one pair gives a float, lists an (n,) float64 buffer, element-wise, a single point "
            "going with every element.",
            nullptr, Raises{"ValueError: great_circle"}),
        {},
    };
    return functions;
}

}  // namespace kp
