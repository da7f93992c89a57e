// The geometry submodule's intersection functions.
#include "classes.hpp"
#include "kestrum/geometry/intersection.hpp"

namespace kp {

PyMethodDef* geometry_functions() {
    namespace g = kestrum::geometry;
    static PyMethodDef functions[] = {
        function<"circle_circle", &g::circle_circle, "circle1", "circle2">(),
        function<"circle_point", &g::circle_point, "circle", "point", "inner">(),
        function<"circle_point_unchecked", &g::circle_point_unchecked, "circle", "point",
                 "inner">(),
        function<"plane_line", &g::plane_line, "plane", "a", "b">(),
        {},
    };
    return functions;
}

}  // namespace kp
