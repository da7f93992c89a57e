// Every pair of the tree's points within a radius of each other.
#include "spatial/kd_tree_search.hpp"

namespace kestrum::spatial {

using namespace detail;

// Each point in tree order asks for its neighbours of higher index, so
// neighbouring points walk the same nodes; the rows, ascending, are placed
// by the lower index, which makes the pairs ascending as a whole.
void KdTree::pairs_within(double radius, const std::function<std::int64_t*(std::size_t)>& pairs_for,
                          pool::Pool& p, pool::Stop* stop) const {
    const double limit = [&] {
        const pool::DefaultFpEnv fp;  // found on the calling thread
        return d2_limit(radius);
    }();
    std::vector<std::int64_t> offsets(n_ + 1);
    const auto row = [&](std::size_t i, std::size_t t, std::vector<std::int64_t>& out) -> std::uint64_t {
        const std::size_t before = out.size();
        Ball ball{limit, index_, &out, static_cast<std::int64_t>(i)};
        search(pts_[t], ball);
        std::sort(out.begin() + static_cast<std::ptrdiff_t>(before), out.end());
        return ball.visited;
    };
    std::int64_t* pairs = nullptr;
    gather_rows(
        limit < 0.0 ? 0 : m_, index_, n_, offsets.data(), row,
        [&](std::size_t total) { pairs = pairs_for(total); },
        [&](std::size_t i, const std::int64_t* js, std::size_t n, std::size_t at) {
            std::int64_t* out = pairs + 2 * at;
            for (std::size_t k = 0; k < n; ++k) {
                out[2 * k] = static_cast<std::int64_t>(i);
                out[2 * k + 1] = js[k];
            }
        },
        p, stop);
}

}  // namespace kestrum::spatial
