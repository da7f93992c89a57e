// Every pair of the tree's points within a radius of each other.
#include "spatial/kd_tree_search.hpp"

namespace kestrum::spatial {

using namespace detail;

namespace {

// A pair as one word, the lower index in the high half.
std::uint64_t pair_word(std::uint64_t a, std::uint64_t b) { return a < b ? a << 32 | b : b << 32 | a; }

// The partners of the point at tree position `after`, among the points past
// it, so each pair is found once: by its first point in tree order.
struct Partners {
    double limit;
    const std::uint32_t* index;
    std::vector<std::uint64_t>* out;
    std::size_t after;
    std::uint64_t self;
    std::uint64_t visited = 0;
    bool visit(double bound) const { return bound <= limit; }
    bool may(double d) const { return d <= limit; }
    void offer(double, std::uint64_t j) { out->push_back(pair_word(self, j)); }
    void take_all(std::size_t lo, std::size_t hi) {
        for (std::size_t t = std::max(lo, after + 1); t < hi; ++t) out->push_back(pair_word(self, index[t]));
    }
};

// The serial passes over all pairs poll for a stop now and then.
void poll_every(std::size_t k, pool::Stop* stop) {
    if (stop && k % (std::size_t{1} << 20) == 0 && stop->poll()) throw pool::Stopped();
}

}  // namespace

// Each point in tree order searches for its partners, so neighbouring
// points walk the same nodes; the pairs are then counted by their lower
// index, placed row by row and each row sorted, which orders them all.
void KdTree::pairs_within(double radius, const std::function<std::int64_t*(std::size_t)>& pairs_for, pool::Pool& p,
                          pool::Stop* stop) const {
    const double limit = [&] {
        const pool::DefaultFpEnv fp;  // found on the calling thread
        return d2_limit(radius);
    }();
    struct Find {
        const KdTree* tree;
        double limit;
        const pool::Stop* stop;
        std::vector<std::vector<std::uint64_t>> seq(std::size_t lo, std::size_t hi) const {
            std::vector<std::vector<std::uint64_t>> runs(1);
            std::uint64_t visited = 0;
            for (std::size_t t = lo; t < hi; ++t) {
                if (stop && (t - lo) % 8 == 7) stop->check();
                Partners v{limit, tree->index_, &runs[0], t, tree->index_[t]};
                tree->search(tree->pts_[t], v);
                visited += v.visited;
            }
            g_visited.fetch_add(visited, std::memory_order_relaxed);
            return runs;
        }
        std::vector<std::vector<std::uint64_t>> combine(std::vector<std::vector<std::uint64_t>> a,
                                                        std::vector<std::vector<std::uint64_t>> b) const {
            a.insert(a.end(), std::make_move_iterator(b.begin()), std::make_move_iterator(b.end()));
            return a;
        }
    };
    std::vector<std::vector<std::uint64_t>> runs;
    if (limit >= 0.0 && m_ > 1) runs = p.reduce(m_, Find{this, limit, stop}, 16, stop);
    std::vector<std::int64_t> offsets(n_ + 1, 0);
    std::size_t k = 0;
    for (const auto& run : runs)
        for (const std::uint64_t w : run) poll_every(k++, stop), ++offsets[(w >> 32) + 1];
    for (std::size_t i = 0; i < n_; ++i) offsets[i + 1] += offsets[i];
    std::int64_t* out = pairs_for(static_cast<std::size_t>(offsets[n_]));
    {
        std::vector<std::int64_t> next(offsets.begin(), offsets.end() - 1);
        for (const auto& run : runs)
            for (const std::uint64_t w : run) {
                poll_every(k++, stop);
                const std::int64_t at = next[w >> 32]++;
                out[2 * at] = static_cast<std::int64_t>(w >> 32);
                out[2 * at + 1] = static_cast<std::int64_t>(w & 0xFFFFFFFFu);
            }
    }
    runs = {};
    // Each row's partners ascending, rows split across the pool.
    struct Sort {
        std::int64_t* out;
        const std::int64_t* offsets;
        std::size_t seq(std::size_t lo, std::size_t hi) const {
            std::vector<std::int64_t> row;
            for (std::size_t i = lo; i < hi; ++i) {
                const std::int64_t a = offsets[i], b = offsets[i + 1];
                if (b - a < 2) continue;
                row.clear();
                for (std::int64_t r = a; r < b; ++r) row.push_back(out[2 * r + 1]);
                std::sort(row.begin(), row.end());
                for (std::int64_t r = a; r < b; ++r) out[2 * r + 1] = row[static_cast<std::size_t>(r - a)];
            }
            return hi - lo;
        }
        std::size_t combine(std::size_t a, std::size_t b) const { return a + b; }
    };
    if (n_ != 0 && p.reduce(n_, Sort{out, offsets.data()}, 4, stop) != n_) panic("not every row was sorted");
}

}  // namespace kestrum::spatial
