#include "kestrum/eigen4.hpp"

#include <cmath>

#include "kestrum/formula/jacobi.hpp"

namespace kestrum {

std::array<double, 4> top_eigenvector(double (&a)[4][4]) {
    double v[4][4] = {{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}};
    formula::jacobi_sweeps(a, v, 64);
    int best = 0;
    for (int k = 1; k < 4; ++k)
        if (a[k][k] > a[best][best]) best = k;
    return {v[0][best], v[1][best], v[2][best], v[3][best]};
}

}  // namespace kestrum
