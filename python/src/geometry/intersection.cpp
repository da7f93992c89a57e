// The geometry submodule's intersection functions.
#include "classes.hpp"
#include "kestrum/geometry/intersection.hpp"

namespace kp {

PyMethodDef* geometry_functions() {
    namespace g = kestrum::geometry;
    static PyMethodDef functions[] = {
        function<"circle_circle", &g::circle_circle, "circle1", "circle2">(
            "The two crossing points of coplanar circles (equal if they touch), else None (identical, not coplanar, "
            "apart or nested)."),
        function<"circle_point", &g::circle_point, "circle", "point", "inner">(
            "Whether `point` is on `circle` (with `inner`, on or inside it), after the plane's one-sided "
            "contains_point."),
        function<"circle_point_unchecked", &g::circle_point_unchecked, "circle", "point", "inner">(
            "circle_point without the plane test: a sphere test around the center."),
        function<"plane_line", &g::plane_line, "plane", "a", "b">(
            "Where the infinite line through `a` and `b` meets `plane`; parallel gives non-finite components."),
        {},
    };
    return functions;
}

}  // namespace kp
