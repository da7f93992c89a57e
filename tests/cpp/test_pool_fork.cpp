// A stop's poll may fork (a Python signal handler does, in the extension):
// the child has the pool's memory but none of its workers.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <thread>

#include "parallel/pool.hpp"

using kestrum::parallel::Pool;
using kestrum::parallel::Stop;
using kestrum::parallel::WorkersInParent;

namespace {

// Every piece waits for `go`, so the operation is surely in flight at the fork.
struct GatedSum {
    const std::atomic<bool>* go;
    std::size_t seq(std::size_t lo, std::size_t hi) const {
        while (!go->load()) std::this_thread::sleep_for(std::chrono::microseconds(100));
        return hi - lo;
    }
    std::size_t combine(std::size_t a, std::size_t b) const { return a + b; }
};

template <class F>
bool throws_workers_in_parent(F f) {
    try {
        f();
    } catch (const WorkersInParent&) {
        return true;
    } catch (...) {
    }
    return false;
}

}  // namespace

TEST(PoolFork, AChildForkedWhileTheCallerWaitsGivesUpAndSoDoesTheNextCall) {
    Pool pool(2);
    std::atomic<bool> go{false};
    pid_t pid = -1;
    Stop stop(
        [&] {
            if (pid < 0) {
                pid = fork();
                if (pid > 0) go.store(true);  // only the parent's workers may finish
            }
            return false;
        },
        std::chrono::milliseconds(1));
    const bool waiting_gave_up = throws_workers_in_parent([&] { pool.reduce(4096, GatedSum{&go}, 1, &stop); });
    if (pid == 0) {
        go.store(true);
        // The parent's pool, kept across the fork as a multi-phase operation
        // keeps it for its next phase.
        const bool next_gave_up = throws_workers_in_parent([&] { pool.reduce(4096, GatedSum{&go}); });
        _exit(waiting_gave_up && next_gave_up ? 0 : 1);
    }
    ASSERT_GT(pid, 0);
    EXPECT_FALSE(waiting_gave_up);
    EXPECT_EQ(pool.reduce(4096, GatedSum{&go}, 1, &stop), 4096u);  // the parent's pool still works
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            FAIL() << "the child hung";
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
}
