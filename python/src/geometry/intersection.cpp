// The geometry submodule's intersection functions.
#include "classes.hpp"
#include "kestrum/geometry/intersection.hpp"

namespace kp {

PyMethodDef* geometry_functions() {
    namespace g = kestrum::geometry;
    static PyMethodDef functions[] = {
        function<"circle_circle", &g::circle_circle, "circle1", "circle2">("The two intersection points of two circles, or None."),
        function<"circle_point", &g::circle_point, "circle", "point", "inner">("Whether `point` lies inside (`inner`) or on `circle`."),
        function<"circle_point_unchecked", &g::circle_point_unchecked, "circle", "point",
                 "inner">("circle_point without checking that `point` is in the circle's plane."),
        function<"plane_line", &g::plane_line, "plane", "a", "b">("Where the line through `a` and `b` meets `plane`."),
        {},
    };
    return functions;
}

}  // namespace kp
