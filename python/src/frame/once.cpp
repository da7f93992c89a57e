// Once-per-process creation: the claim tokens and the wait.
#include "frame/once.hpp"

#include <pthread.h>
#include <time.h>

namespace kp {

namespace once {
namespace {

// Bumped in every forked child, so that claims of the parent's threads, which
// do not exist there, read as stale.
std::atomic<std::uint32_t> g_generation{0};
std::atomic<std::uint32_t> g_next_serial{1};
thread_local std::uint32_t t_serial = 0;

void after_fork_in_child() noexcept { g_generation.fetch_add(1, std::memory_order_relaxed); }
[[maybe_unused]] const int g_registered = pthread_atfork(nullptr, nullptr, &after_fork_in_child);

}  // namespace

std::uint64_t token() noexcept {
    if (t_serial == 0) {
        std::uint32_t s;
        do s = g_next_serial.fetch_add(1, std::memory_order_relaxed);
        while (s == 0);
        t_serial = s;
    }
    return std::uint64_t{g_generation.load(std::memory_order_relaxed)} << 32 | t_serial;
}

bool stale(std::uint64_t token) noexcept {
    return static_cast<std::uint32_t>(token >> 32) != g_generation.load(std::memory_order_relaxed);
}

void pause(int round) noexcept {
    // Detached while waiting, so the creator can take the interpreter lock.
    PyThreadState* ts = PyEval_SaveThread();
    const long ns = round < 10 ? 20'000 : 1'000'000;
    timespec t{0, ns};
    nanosleep(&t, nullptr);
    PyEval_RestoreThread(ts);
}

}  // namespace once

}  // namespace kp
