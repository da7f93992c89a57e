#pragma once
// The pieces every list class (VecList, QuatList) shares: construction,
// access, the buffer export, pickling, the repr and the bulk loops. A list is
// one contiguous array of core values of N doubles each; its iterator owns a
// private copy taken when iteration began. Element i of every bulk result is
// the single-value operation on element i, computed by the same core
// function, so results match the single values bit for bit whatever the pool
// size.
#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <optional>
#include <span>
#include <string>

#include "classes.hpp"
#include "parallel/algorithms.hpp"

namespace kp::lists {

namespace pool = kestrum::parallel;

// The number of doubles in one element.
template <class E>
inline constexpr std::size_t kWidth = sizeof(E) / sizeof(double);

// One output array at its final length, every slot written by the pool with f(i).
template <class Out, class F>
ElementArray<Out> bulk(std::size_t n, const F& f) {
    ElementArray<Out> out(n);
    pool::map_into(std::span<Out>(out.data(), n), f);
    return out;
}

// f(arith, i) evaluates a core formula for element i, in runs, under the
// Plain/NanOrdered contract of kestrum/formula/arithmetic.hpp. `weight`: an
// element's cost relative to `v * s` (Pool::reduce).
inline constexpr std::size_t kRun = 256;

// o[a, b) = f(arith, i) for one run, as above.
template <class Out, class F>
[[gnu::always_inline]] inline void formula_run(Out* o, std::size_t a, std::size_t b, const F& f) {
    for (std::size_t i = a; i < b; ++i) o[i] = f(kestrum::Plain{}, i);
    if (kestrum::any_nan(reinterpret_cast<const double*>(o + a), (b - a) * (sizeof(Out) / sizeof(double)))) {
        for (std::size_t i = a; i < b; ++i) o[i] = f(kestrum::NanOrdered{}, i);
    }
}

// `L`: pool::Lanes::scalar for a formula that stays scalar (see there).
template <class Out, pool::Lanes L = pool::Lanes::widest, class F>
ElementArray<Out> bulk_formula(std::size_t n, const F& f, std::size_t weight = 1) {
    static_assert(sizeof(Out) % sizeof(double) == 0, "results are doubles");
    ElementArray<Out> out(n);
    Out* o = out.data();
    pool::map_ranges<L>(
        std::span<Out>(o, n),
        [o, &f](std::size_t lo, std::size_t hi) KESTRUM_PIECE_LOOP {
            for (std::size_t a = lo, b; a < hi; a = b) {
                b = std::min(hi, a + kRun);
                formula_run(o, a, b, f);
            }
        },
        weight);
    return out;
}

// The same over the elements of a list: f(arith, element).
template <class Out, pool::Lanes L = pool::Lanes::widest, class E, class F>
ElementArray<Out> bulk_formula(const ElementList<E>& self, const F& f, std::size_t weight = 1) {
    const E* e = self.items.data();
    return bulk_formula<Out, L>(
        self.items.size(), [e, &f](auto a, std::size_t i) { return f(a, e[i]); }, weight);
}

// Element i of an (n, D...) table (any strides, float64 or float32) as its
// R x C numbers, row-major; C is the last axis, R = 1 for a 2-D table.
template <std::size_t R, std::size_t C, class Read>
std::array<double, R * C> read_cells(const Table& t, std::size_t i, Read read) {
    std::array<double, R * C> out;
    const char* row = t.base + static_cast<std::ptrdiff_t>(i) * t.row_stride;
    for (std::size_t r = 0; r < R; ++r)
        for (std::size_t c = 0; c < C; ++c)
            out[r * C + c] = read(row + static_cast<std::ptrdiff_t>(r) * t.sub_stride +
                                  static_cast<std::ptrdiff_t>(c) * t.col_stride);
    return out;
}

// bulk_formula over the rows of a table: f(arith, cells) with the row's
// numbers as read_cells gives them. Each run's rows are first copied into a
// local block, so the formula loop reads contiguous doubles: GCC does not
// vectorise it over the table's own strided, possibly unaligned reads.
template <class Out, std::size_t R, std::size_t C, pool::Lanes L = pool::Lanes::widest, class F>
ElementArray<Out> bulk_from_table(const Table& t, const F& f, std::size_t weight = 1) {
    static_assert(sizeof(Out) % sizeof(double) == 0, "results are doubles");
    using Cells = std::array<double, R * C>;
    ElementArray<Out> out(t.rows);
    Out* o = out.data();
    pool::map_ranges<L>(
        std::span<Out>(o, t.rows),
        [o, &t, &f](std::size_t lo, std::size_t hi) KESTRUM_PIECE_LOOP {
            Cells cells[kRun];
            for (std::size_t a = lo, b; a < hi; a = b) {
                b = std::min(hi, a + kRun);
                if (t.type == Table::Type::f32) {
                    for (std::size_t i = a; i < b; ++i) cells[i - a] = read_cells<R, C>(t, i, read_cell<float>);
                } else {
                    for (std::size_t i = a; i < b; ++i) cells[i - a] = read_cells<R, C>(t, i, read_cell<double>);
                }
                formula_run(o, a, b, [&cells, a, &f](auto ar, std::size_t i) { return f(ar, cells[i - a]); });
            }
        },
        weight);
    return out;
}

template <class E>
ElementList<E> make(const std::vector<E>& list) {
    const E* src = list.data();
    return {bulk<E>(list.size(), [src](std::size_t i) { return src[i]; })};
}

template <class E>
ElementList<E> empty() {
    return {};
}

// Row i of a table as N doubles, read with `read` at column stride cs.
template <std::size_t N, class Read>
std::array<double, N> read_row(const char* r, std::ptrdiff_t cs, Read read) {
    std::array<double, N> out;
    for (std::size_t c = 0; c < N; ++c) out[c] = read(r + static_cast<std::ptrdiff_t>(c) * cs);
    return out;
}

// Copied by the pool. float64 elements are moved as raw bytes (NaN payloads
// and -0.0 untouched); unaligned and negative strides are fine.
template <class E>
ElementList<E> from_rows(const Rows<kWidth<E>>& a) {
    constexpr std::size_t N = kWidth<E>;
    const char* base = a.base;
    const std::ptrdiff_t rs = a.row_stride, cs = a.col_stride;
    const auto row = [base, rs](std::size_t i) { return base + static_cast<std::ptrdiff_t>(i) * rs; };
    if (a.type == Table::Type::f32) {
        return {bulk<E>(
            a.rows, [row, cs](std::size_t i) { return std::bit_cast<E>(read_row<N>(row(i), cs, read_cell<float>)); })};
    }
    if (cs == static_cast<std::ptrdiff_t>(sizeof(double)) &&
        rs == static_cast<std::ptrdiff_t>(sizeof(E))) {  // one block: a memcpy per piece
        struct Copy {
            char* dst;
            const char* src;
            std::size_t seq(std::size_t lo, std::size_t hi) const {
                if (hi > lo)  // an empty list has no storage to copy to
                    std::memcpy(dst + lo * sizeof(E), src + lo * sizeof(E), (hi - lo) * sizeof(E));
                return hi - lo;
            }
            std::size_t combine(std::size_t l, std::size_t r) const { return l + r; }
        };
        ElementArray<E> out(a.rows);
        const std::size_t copied = pool::global().reduce(a.rows, Copy{reinterpret_cast<char*>(out.data()), base});
        if (copied != a.rows)
            kestrum::panic("from_array copied " + std::to_string(copied) + " rows of " + std::to_string(a.rows));
        return {std::move(out)};
    }
    if (cs == static_cast<std::ptrdiff_t>(sizeof(double))) {  // rows of adjacent doubles
        return {bulk<E>(a.rows, [row](std::size_t i) {
            return std::bit_cast<E>(read_row<N>(row(i), sizeof(double), read_cell<double>));
        })};
    }
    return {bulk<E>(a.rows,
                    [row, cs](std::size_t i) { return std::bit_cast<E>(read_row<N>(row(i), cs, read_cell<double>)); })};
}

// The elements, in place: shape (len, N), row-major.
template <class E>
DoubleBlock block(const ElementList<E>& self) {
    return {reinterpret_cast<const double*>(self.items.data()), self.items.size(), kWidth<E>};
}

template <class E>
void append(ElementList<E>& self, E value) {
    self.items.push_back(value);
}

template <class E>
void extend(ElementList<E>& self, const ElementList<E>& other) {
    self.items.insert(self.items.end(), other.items.begin(), other.items.end());
}

template <class E>
std::uint64_t length(const ElementList<E>& self) {
    return self.items.size();
}

template <class E>
E item(const ElementList<E>& self, std::uint64_t index) {
    if (index >= self.items.size()) raise(PyExc_IndexError, "Index out of bounds");
    return self.items[index];
}

template <class E>
ElementListIter<E> iter(const ElementList<E>& self) {
    return {self.items, 0};
}

template <class E>
std::optional<E> next(ElementListIter<E>& it) {
    if (it.cursor >= it.items.size()) return std::nullopt;
    return it.items[it.cursor++];
}

// Formatted a block of elements at a time (each block spread over the pool),
// so that the frame can poll for Ctrl-C between blocks. The receiver stays
// borrowed until the frame has converted the text. kestrum::append_text
// gives each element's own repr.
template <class E>
PieceText repr(const ElementList<E>& self) {
    constexpr std::size_t kBlock = std::size_t{1} << 15;
    const E* e = self.items.data();
    const std::size_t n = self.items.size();
    const std::size_t pieces = n == 0 ? 1 : (n - 1) / kBlock + 1;
    return {pieces, [e, n](std::string& out, std::size_t piece) {
                const std::size_t lo = piece * kBlock;
                const std::size_t hi = std::min(n, lo + kBlock);
                out += piece == 0 ? '[' : '\n';
                out += pool::join(
                    hi - lo, [b = e + lo](std::string& text, std::size_t i) { kestrum::append_text(text, b[i]); },
                    "\n");
                if (hi == n) out += ']';
            }};
}

}  // namespace kp::lists

namespace kp {

// Protocol 5 lends the elements out as one buffer: pickle writes it in-band
// or gives it to buffer_callback, either way without an extra copy here.
template <class E>
PyObject* Pickled<ElementList<E>>::state(PyObject* self, const ElementList<E>& value, std::uint64_t protocol) {
    if (protocol >= 5) return PyPickleBuffer_FromObject(self);
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(value.items.data()),
                                     static_cast<Py_ssize_t>(value.items.size() * sizeof(E)));
}

template <class E>
ElementList<E> Pickled<ElementList<E>>::load(Bytes state) {
    if (state.size % sizeof(E) != 0)
        raise(PyExc_ValueError, std::string("pickled ") + Class<ElementList<E>>::name +
                                    " state must be a multiple of " + std::to_string(sizeof(E)) + " bytes, got " +
                                    std::to_string(state.size));
    Rows<lists::kWidth<E>> rows;
    rows.base = reinterpret_cast<const char*>(state.data);
    rows.rows = state.size / sizeof(E);
    rows.row_stride = sizeof(E);
    rows.col_stride = sizeof(double);
    return lists::from_rows<E>(rows);
}

}  // namespace kp
