#pragma once
// The receiver and every instance argument are borrowed for the
// length of the call, shared for `const C&`, exclusive for `C&`.
#include <type_traits>

#include "frame/types.hpp"

namespace kp {

inline constexpr std::uint64_t kExclusive = ~std::uint64_t{0};

#ifdef Py_GIL_DISABLED
inline bool try_borrow_shared(BorrowFlag& f) noexcept {
    std::uint64_t cur = f.load(std::memory_order_relaxed);
    do {
        if (cur == kExclusive) return false;
    } while (!f.compare_exchange_weak(cur, cur + 1, std::memory_order_acquire, std::memory_order_relaxed));
    return true;
}
inline void release_shared(BorrowFlag& f) noexcept { f.fetch_sub(1, std::memory_order_release); }
inline bool try_borrow_exclusive(BorrowFlag& f) noexcept {
    std::uint64_t expected = 0;
    return f.compare_exchange_strong(expected, kExclusive, std::memory_order_acquire, std::memory_order_relaxed);
}
inline void release_exclusive(BorrowFlag& f) noexcept { f.store(0, std::memory_order_release); }
#else
// Every flag operation runs under the interpreter lock (the frame never lets
// it go while it borrows or releases, and pool workers never touch flags), so
// the lock already orders them: a plain read and write do what an atomic
// read-modify-write would, without its locked instruction (some 20 cycles on
// Intel cores, and a call makes up to four).
inline bool try_borrow_shared(BorrowFlag& f) noexcept {
    const std::uint64_t cur = f.load(std::memory_order_relaxed);
    if (cur == kExclusive) return false;
    f.store(cur + 1, std::memory_order_relaxed);
    return true;
}
inline void release_shared(BorrowFlag& f) noexcept {
    f.store(f.load(std::memory_order_relaxed) - 1, std::memory_order_relaxed);
}
inline bool try_borrow_exclusive(BorrowFlag& f) noexcept {
    if (f.load(std::memory_order_relaxed) != 0) return false;
    f.store(kExclusive, std::memory_order_relaxed);
    return true;
}
inline void release_exclusive(BorrowFlag& f) noexcept { f.store(0, std::memory_order_relaxed); }
#endif

inline constexpr const char kMutablyBorrowed[] = "Already mutably borrowed";
inline constexpr const char kBorrowed[] = "Already borrowed";

// Holds one borrow of an object of class T for the guard's lifetime.
// The instance check every receiver starts with; the cast error names the class.
template <class T>
bool checked_instance(PyObject* o) noexcept {
    if (PyObject_TypeCheck(o, type_of<T>())) return true;
    set_cast_error(o, Class<T>::name);
    return false;
}

template <class T, bool Exclusive_>
class Borrow : Pinned {
public:
    ~Borrow() {
        if (!obj_) return;
        if constexpr (Exclusive_)
            release_exclusive(obj_->flag);
        else
            release_shared(obj_->flag);
    }
    // Instance check (cast error naming the class), then the borrow.
    bool acquire(PyObject* o) noexcept { return checked_instance<T>(o) && acquire_checked(o); }
    bool acquire_checked(PyObject* o) noexcept {
        auto* obj = as_object<T>(o);
        const bool ok = Exclusive_ ? try_borrow_exclusive(obj->flag) : try_borrow_shared(obj->flag);
        if (!ok) {
            PyErr_SetString(PyExc_RuntimeError, Exclusive_ ? kBorrowed : kMutablyBorrowed);
            return false;
        }
        obj_ = obj;
        return true;
    }
    std::conditional_t<Exclusive_, T&, const T&> value() const noexcept { return obj_->value; }
    // The borrow outlives the guard; whoever took it over releases it.
    void hand_over() noexcept { obj_ = nullptr; }

private:
    Object<T>* obj_ = nullptr;
};
template <class T>
using Shared = Borrow<T, false>;
template <class T>
using Exclusive = Borrow<T, true>;

// The receiver of a read that runs no Python code and keeps the interpreter
// lock while it holds the object (a float field's getter). Nobody can look at
// the flag meanwhile (other threads wait for the lock, pool workers never
// touch flags), so a shared borrow and its release would go unseen: the pair
// is left out and only its test remains, and an object under an exclusive
// borrow fails exactly as before. Free-threaded builds take the borrow.
#ifdef Py_GIL_DISABLED
template <class T>
using Glance = Shared<T>;
#else
template <class T>
class Glance : Pinned {
public:
    bool acquire(PyObject* o) noexcept {
        if (!checked_instance<T>(o)) return false;
        obj_ = as_object<T>(o);
        if (obj_->flag.load(std::memory_order_acquire) == kExclusive) {
            PyErr_SetString(PyExc_RuntimeError, kMutablyBorrowed);
            return false;
        }
        return true;
    }
    const T& value() const noexcept { return obj_->value; }

private:
    Object<T>* obj_ = nullptr;
};
#endif

// The receiver of an entry: `const C&` borrows shared, `C&` exclusive.
template <class P>
struct Receiver;
template <Wrapped C>
struct Receiver<const C&> : Shared<C> {
    using Class_ = C;
    const C& get() const noexcept { return this->value(); }
};
template <Wrapped C>
struct Receiver<C> : Receiver<const C&> {};  // by-value receiver: a shared borrow
template <Wrapped C>
struct Receiver<C&> : Exclusive<C> {
    using Class_ = C;
    C& get() const noexcept { return this->value(); }
};

}  // namespace kp
