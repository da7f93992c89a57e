#include "parallel/pool.hpp"

#include <pthread.h>

#include <new>
#include <string>
#include <system_error>

#include "kestrum/panic.hpp"
#include "parallel/sizing.hpp"

namespace kestrum::parallel {

Pool::Pool(std::size_t threads, std::size_t stack_size)
    : threads_(threads), runnable_(std::min(threads, default_thread_count())), core_(nullptr) {
    if (threads == 0) throw Panic("a pool needs at least one thread");
    core_ = detail::create_core(threads, stack_size);
}

Pool::~Pool() { detail::destroy_core(core_); }

Pool& LazyPool::get() {
    if (Pool* p = ready_.load(std::memory_order_acquire)) return *p;
    std::lock_guard<std::mutex> lock(mutex_);
    if (pool_) return *pool_;
    const std::string prefix = std::string(kNotInitialized) + ": ";
    try {
        pool_ = factory_();
    } catch (const std::bad_alloc&) {
        throw;
    } catch (const std::system_error& e) {
        // Keep the code (the caller tells memory from other reasons by it);
        // the what() of a system_error ends in the code's text, added back.
        std::string reason = e.what();
        const std::string tail = ": " + e.code().message();
        if (reason.size() >= tail.size() && reason.compare(reason.size() - tail.size(), tail.size(), tail) == 0)
            reason.resize(reason.size() - tail.size());
        throw std::system_error(e.code(), prefix + reason);
    } catch (const std::exception& e) {
        throw Panic(prefix + e.what());
    } catch (...) {
        throw Panic(prefix + "unknown error");
    }
    if (!pool_) throw Panic(prefix + "no pool was created");
    ready_.store(pool_.get(), std::memory_order_release);
    return *pool_;
}

namespace {

// Deliberately leaked: workers live until the process ends, and no exit-time
// destructor may wait for them.
LazyPool* new_global() {
    return new LazyPool([] { return std::make_unique<Pool>(configured_thread_count()); });
}

std::atomic<LazyPool*> g_global{nullptr};

// A forked child inherits the pool's memory but none of its threads, so
// handing it work would hang; it starts a pool of its own on first use and
// abandons the parent's as it stands.
void restart_in_child() { g_global.store(new_global(), std::memory_order_relaxed); }

}  // namespace

Pool& global() {
    static const bool registered = [] {
        g_global.store(new_global(), std::memory_order_release);
        pthread_atfork(nullptr, nullptr, &restart_in_child);
        return true;
    }();
    (void)registered;
    return g_global.load(std::memory_order_acquire)->get();
}

std::size_t thread_count() { return global().thread_count(); }

}  // namespace kestrum::parallel
