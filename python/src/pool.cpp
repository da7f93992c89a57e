#include "pool.hpp"

#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <unistd.h>

#if defined(__x86_64__) || defined(__i386__)
#include <xmmintrin.h>
#endif

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <limits>
#include <sstream>
#include <system_error>

namespace kestrum::pool {

// ===========================================================================
// Sizing

std::optional<std::size_t> parse_thread_env(const char* text) {
    if (text == nullptr) return std::nullopt;
    const char* p = text;
    if (*p == '+') ++p;
    if (*p == '\0') return std::nullopt;
    std::uint64_t value = 0;
    constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
    for (; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') return std::nullopt;
        const auto digit = static_cast<std::uint64_t>(*p - '0');
        if (value > (kMax - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return static_cast<std::size_t>(value);
}

std::optional<std::size_t> size_from_env(const EnvGetter& getenv) {
    if (const auto n = parse_thread_env(getenv("RAYON_NUM_THREADS"))) {
        if (*n > 0) return n;
        return std::nullopt;  // an explicit 0 asks for the default
    }
    if (const auto n = parse_thread_env(getenv("RAYON_RS_NUM_CPUS")); n && *n > 0) return n;
    return std::nullopt;
}

namespace {

std::string_view trim(std::string_view s) {
    const auto first = s.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos) return {};
    const auto last = s.find_last_not_of(" \t\r\n");
    return s.substr(first, last - first + 1);
}

// Plain decimal, optional '-' (v1 writes -1 for "no limit").
std::optional<std::int64_t> parse_i64(std::string_view s) {
    s = trim(s);
    bool negative = false;
    if (!s.empty() && s.front() == '-') {
        negative = true;
        s.remove_prefix(1);
    }
    if (s.empty()) return std::nullopt;
    std::int64_t v = 0;
    for (const char c : s) {
        if (c < '0' || c > '9') return std::nullopt;
        if (v > (std::numeric_limits<std::int64_t>::max() - (c - '0')) / 10) return std::nullopt;
        v = v * 10 + (c - '0');
    }
    return negative ? -v : v;
}

std::vector<std::string_view> split(std::string_view s, char sep) {
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    for (;;) {
        const auto at = s.find(sep, start);
        parts.push_back(s.substr(start, at == std::string_view::npos ? std::string_view::npos : at - start));
        if (at == std::string_view::npos) return parts;
        start = at + 1;
    }
}

// mountinfo escapes blanks and backslashes as \ooo.
std::string unescape_mount_path(std::string_view s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 3 < s.size()) {
            const char a = s[i + 1], b = s[i + 2], c = s[i + 3];
            if (a >= '0' && a <= '3' && b >= '0' && b <= '7' && c >= '0' && c <= '7') {
                out.push_back(static_cast<char>((a - '0') * 64 + (b - '0') * 8 + (c - '0')));
                i += 3;
                continue;
            }
        }
        out.push_back(s[i]);
    }
    return out;
}

struct CgroupMount {
    std::string root;
    std::string mount_point;
};

// The mount of the v2 hierarchy (want_v1 false) or of the v1 hierarchy that
// carries the cpu controller.
std::optional<CgroupMount> find_mount(std::string_view mountinfo, bool want_v1) {
    for (const auto line : split(mountinfo, '\n')) {
        const auto dash = line.find(" - ");
        if (dash == std::string_view::npos) continue;
        const auto before = split(line.substr(0, dash), ' ');
        const auto after = split(line.substr(dash + 3), ' ');
        if (before.size() < 5 || after.size() < 3) continue;
        if (want_v1) {
            if (after[0] != "cgroup") continue;
            bool has_cpu = false;
            for (const auto opt : split(after[2], ',')) has_cpu = has_cpu || opt == "cpu";
            if (!has_cpu) continue;
        } else if (after[0] != "cgroup2") {
            continue;
        }
        return CgroupMount{unescape_mount_path(before[3]), unescape_mount_path(before[4])};
    }
    return std::nullopt;
}

// The process's path in the v2 hierarchy ("0::/path") or in the v1 hierarchy
// whose controller list holds "cpu".
std::optional<std::string> find_cgroup_path(std::string_view self_cgroup, bool want_v1) {
    for (const auto line : split(self_cgroup, '\n')) {
        const auto first = line.find(':');
        if (first == std::string_view::npos) continue;
        const auto second = line.find(':', first + 1);
        if (second == std::string_view::npos) continue;
        const auto id = line.substr(0, first);
        const auto controllers = line.substr(first + 1, second - first - 1);
        const auto path = trim(line.substr(second + 1));
        if (want_v1) {
            for (const auto c : split(controllers, ',')) {
                if (c == "cpu") return std::string(path);
            }
        } else if (id == "0" && controllers.empty()) {
            return std::string(path);
        }
    }
    return std::nullopt;
}

std::optional<std::size_t> tighter(std::optional<std::size_t> a, std::optional<std::size_t> b) {
    if (!a) return b;
    if (!b) return a;
    return std::min(*a, *b);
}

// Walks from the process's cgroup directory up to the mount point, since a
// quota on any ancestor limits the process too.
std::optional<std::size_t> hierarchy_limit(std::string_view self_cgroup, std::string_view mountinfo,
                                           const FileReader& read, bool v1) {
    const auto mount = find_mount(mountinfo, v1);
    auto path = find_cgroup_path(self_cgroup, v1);
    if (!mount || !path) return std::nullopt;
    // The mount may expose only a subtree; drop the part above it.
    if (mount->root != "/" && path->compare(0, mount->root.size(), mount->root) == 0) {
        path->erase(0, mount->root.size());
    }
    std::string dir = mount->mount_point;
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    std::string rel = *path;
    while (!rel.empty() && rel.back() == '/') rel.pop_back();

    std::optional<std::size_t> limit;
    for (;;) {
        const std::string here = dir + rel;
        if (v1) {
            const auto quota = read(here + "/cpu.cfs_quota_us");
            const auto period = read(here + "/cpu.cfs_period_us");
            if (quota && period) limit = tighter(limit, cpus_from_quota(*quota, *period));
        } else if (const auto max = read(here + "/cpu.max")) {
            limit = tighter(limit, parse_cpu_max(*max));
        }
        if (rel.empty()) break;
        const auto slash = rel.rfind('/');
        rel.erase(slash == std::string::npos ? 0 : slash);
    }
    return limit;
}

std::optional<std::string> read_file(const std::string& path) {
    std::ifstream in(path);
    if (!in) return std::nullopt;
    std::ostringstream text;
    text << in.rdbuf();
    return std::move(text).str();
}

std::optional<std::size_t> affinity_cpu_count() {
    // The kernel refuses a mask smaller than its own; grow until it fits.
    for (int cpus = 1024; cpus <= (1 << 20); cpus *= 2) {
        cpu_set_t* set = CPU_ALLOC(cpus);
        if (set == nullptr) return std::nullopt;
        const std::size_t size = CPU_ALLOC_SIZE(cpus);
        CPU_ZERO_S(size, set);
        if (sched_getaffinity(0, size, set) == 0) {
            const int count = CPU_COUNT_S(size, set);
            CPU_FREE(set);
            if (count <= 0) return std::nullopt;
            return static_cast<std::size_t>(count);
        }
        const int err = errno;
        CPU_FREE(set);
        if (err != EINVAL) return std::nullopt;
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::size_t> cpus_from_quota(std::string_view quota, std::string_view period) {
    const auto q = parse_i64(quota);
    const auto p = parse_i64(period);
    if (!q || !p || *q <= 0 || *p <= 0) return std::nullopt;
    return std::max<std::size_t>(1, static_cast<std::size_t>(*q / *p));
}

std::optional<std::size_t> parse_cpu_max(std::string_view text) {
    const auto fields = split(trim(text), ' ');
    if (fields.size() != 2 || fields[0] == "max") return std::nullopt;
    return cpus_from_quota(fields[0], fields[1]);
}

std::optional<std::size_t> cgroup_cpu_limit(std::string_view self_cgroup, std::string_view mountinfo,
                                            const FileReader& read) {
    return tighter(hierarchy_limit(self_cgroup, mountinfo, read, false),
                   hierarchy_limit(self_cgroup, mountinfo, read, true));
}

std::size_t default_thread_count() {
    std::size_t n = 1;
    if (const auto cpus = affinity_cpu_count()) {
        n = *cpus;
    } else if (const long online = sysconf(_SC_NPROCESSORS_ONLN); online > 0) {
        n = static_cast<std::size_t>(online);
    }
    const auto self_cgroup = read_file("/proc/self/cgroup");
    const auto mountinfo = read_file("/proc/self/mountinfo");
    if (self_cgroup && mountinfo) {
        if (const auto limit = cgroup_cpu_limit(*self_cgroup, *mountinfo, read_file)) n = std::min(n, *limit);
    }
    return std::max<std::size_t>(n, 1);
}

std::size_t configured_thread_count() {
    const auto from_env = size_from_env([](const char* name) -> const char* { return std::getenv(name); });
    return from_env ? *from_env : default_thread_count();
}

// ===========================================================================
// Floating-point environment

namespace {

bool in_default_fp_env() noexcept {
#if defined(__x86_64__)
    // Doubles use SSE only: MXCSR with its exception flags masked off must be
    // the power-on value (all exceptions masked, round to nearest, no FTZ/DAZ).
    return (_mm_getcsr() & ~0x3Fu) == 0x1F80u;
#else
    return false;  // no cheap test: always switch
#endif
}

}  // namespace

DefaultFpEnv::DefaultFpEnv() noexcept : saved_{}, changed_(!in_default_fp_env()) {
    if (changed_) {
        std::fegetenv(&saved_);
        std::fesetenv(FE_DFL_ENV);
    }
}

DefaultFpEnv::~DefaultFpEnv() {
    if (changed_) std::fesetenv(&saved_);
}

// ===========================================================================
// Pool machinery

namespace detail {
namespace {

inline void cpu_relax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

using Clock = std::chrono::steady_clock;

// How long a thread with nothing to do keeps polling before it sleeps. A
// futex sleep and wake costs several microseconds, more than a small job, so
// idle workers stay awake long enough to catch back-to-back operations, and a
// calling thread polls its own job for about as long as a wake-up would cost.
constexpr auto kPauseFor = std::chrono::microseconds(2);
constexpr auto kWorkerSpinFor = std::chrono::microseconds(60);
constexpr auto kCallerSpinFor = std::chrono::microseconds(30);

// Polls `ready` until it holds or `spin_for` has passed; true if it held.
template <class Ready>
bool spin_until(Ready ready, Clock::duration spin_for, bool yield_cpu) {
    const auto start = Clock::now();
    for (;;) {
        for (int i = 0; i < 8; ++i) {
            if (ready()) return true;
            cpu_relax();
        }
        const auto elapsed = Clock::now() - start;
        if (elapsed >= spin_for) return false;
        if (yield_cpu && elapsed >= kPauseFor) sched_yield();
    }
}

// Chase-Lev deque of fixed capacity: the owner pushes and pops at the bottom,
// thieves take from the top. Every access to the indices is seq_cst, which
// gives the store-load ordering the algorithm needs without standalone fences.
// A full deque makes push fail; the caller then simply runs the job itself.
class WorkDeque {
public:
    static constexpr std::int64_t kCapacity = 1024;

    bool push(Job* job) noexcept {
        const std::int64_t b = bottom_.load(std::memory_order_relaxed);
        const std::int64_t t = top_.load(std::memory_order_acquire);
        if (b - t >= kCapacity) return false;
        slots_[b & kMask].store(job, std::memory_order_relaxed);
        bottom_.store(b + 1, std::memory_order_seq_cst);
        return true;
    }

    Job* pop() noexcept {
        const std::int64_t b = bottom_.load(std::memory_order_relaxed) - 1;
        bottom_.store(b, std::memory_order_seq_cst);
        std::int64_t t = top_.load(std::memory_order_seq_cst);
        if (t > b) {
            bottom_.store(b + 1, std::memory_order_seq_cst);
            return nullptr;
        }
        Job* job = slots_[b & kMask].load(std::memory_order_relaxed);
        if (t == b) {
            // The last job: a thief may be racing for it.
            if (!top_.compare_exchange_strong(t, t + 1, std::memory_order_seq_cst, std::memory_order_relaxed)) {
                job = nullptr;
            }
            bottom_.store(b + 1, std::memory_order_seq_cst);
        }
        return job;
    }

    enum class Steal { Empty, Lost, Taken };

    Steal steal(Job*& out) noexcept {
        std::int64_t t = top_.load(std::memory_order_seq_cst);
        const std::int64_t b = bottom_.load(std::memory_order_seq_cst);
        if (t >= b) return Steal::Empty;
        Job* job = slots_[t & kMask].load(std::memory_order_relaxed);
        if (!top_.compare_exchange_strong(t, t + 1, std::memory_order_seq_cst, std::memory_order_relaxed)) {
            return Steal::Lost;
        }
        out = job;
        return Steal::Taken;
    }

    bool looks_nonempty() const noexcept {
        return bottom_.load(std::memory_order_seq_cst) > top_.load(std::memory_order_seq_cst);
    }

private:
    static constexpr std::int64_t kMask = kCapacity - 1;
    alignas(64) std::atomic<std::int64_t> top_{0};
    alignas(64) std::atomic<std::int64_t> bottom_{0};
    std::unique_ptr<std::atomic<Job*>[]> slots_{new std::atomic<Job*>[kCapacity]{}};
};

}  // namespace

struct Worker {
    Core* core = nullptr;
    std::size_t index = 0;
    std::uint64_t rng = 0;  // picks the first victim when stealing
    WorkDeque deque;
    pthread_t thread{};

    // Sleep state. `asleep` is written under `mutex` but read without it by
    // wakers, who then lock and check again.
    std::mutex mutex;
    std::condition_variable cv;
    std::atomic<bool> asleep{false};
    bool signalled = false;  // guarded by mutex
};

struct Core {
    std::size_t threads = 0;
    bool yield_cpu = false;  // see oversubscribed()
    std::vector<std::unique_ptr<Worker>> workers;

    std::mutex injected_mutex;
    std::deque<Job*> injected;  // guarded by injected_mutex
    std::atomic<std::size_t> injected_count{0};

    std::atomic<std::size_t> sleepers{0};
    std::atomic<std::size_t> searching{0};  // awake, polling for work
    std::atomic<std::size_t> wake_cursor{0};
    std::atomic<bool> stop{false};
};

namespace {

thread_local Worker* tl_worker = nullptr;

bool work_visible(const Core* core) noexcept {
    if (core->injected_count.load(std::memory_order_seq_cst) > 0) return true;
    for (const auto& w : core->workers) {
        if (w->deque.looks_nonempty()) return true;
    }
    return false;
}

// Wakes one sleeping worker, if any. With more workers than CPUs, not while
// a worker is already polling for work: that one will find the job, and a
// pool far larger than the CPU count does not wake a crowd for every job
// (with a CPU each, waking at once is faster). The pusher has published its
// job with a seq_cst store before these seq_cst loads; a polling worker leaves
// `searching` before it counts itself in `sleepers`, and counts itself there
// before its last look for work. So either a worker sees the job or we see
// the worker.
void wake_one(Core* core) noexcept {
    if (core->yield_cpu && core->searching.load(std::memory_order_seq_cst) > 0) return;
    if (core->sleepers.load(std::memory_order_seq_cst) == 0) return;
    const std::size_t n = core->threads;
    const std::size_t start = core->wake_cursor.fetch_add(1, std::memory_order_relaxed);
    for (std::size_t k = 0; k < n; ++k) {
        Worker* w = core->workers[(start + k) % n].get();
        if (!w->asleep.load(std::memory_order_seq_cst)) continue;
        std::lock_guard<std::mutex> lock(w->mutex);
        if (w->asleep.load(std::memory_order_relaxed) && !w->signalled) {
            w->signalled = true;
            w->cv.notify_one();
            return;
        }
    }
}

Job* find_work(Worker* self) noexcept {
    if (Job* job = self->deque.pop()) return job;
    Core* core = self->core;
    const std::size_t n = core->threads;
    if (n > 1) {
        self->rng ^= self->rng << 13;
        self->rng ^= self->rng >> 7;
        self->rng ^= self->rng << 17;
        const std::size_t start = static_cast<std::size_t>(self->rng % n);
        for (std::size_t k = 0; k < n; ++k) {
            Worker* victim = core->workers[(start + k) % n].get();
            if (victim == self) continue;
            for (;;) {
                Job* job = nullptr;
                const auto got = victim->deque.steal(job);
                if (got == WorkDeque::Steal::Taken) return job;
                if (got == WorkDeque::Steal::Empty) break;
            }
        }
    }
    if (core->injected_count.load(std::memory_order_seq_cst) > 0) {
        std::lock_guard<std::mutex> lock(core->injected_mutex);
        if (!core->injected.empty()) {
            Job* job = core->injected.front();
            core->injected.pop_front();
            core->injected_count.fetch_sub(1, std::memory_order_seq_cst);
            return job;
        }
    }
    return nullptr;
}

void sleep_until(Worker* self, const std::atomic<bool>& latch) {
    Core* core = self->core;
    std::unique_lock<std::mutex> lock(self->mutex);
    self->asleep.store(true, std::memory_order_seq_cst);
    core->sleepers.fetch_add(1, std::memory_order_seq_cst);
    if (!latch.load(std::memory_order_seq_cst) && !work_visible(core)) {
        while (!self->signalled && !latch.load(std::memory_order_acquire)) self->cv.wait(lock);
    }
    self->signalled = false;
    core->sleepers.fetch_sub(1, std::memory_order_seq_cst);
    self->asleep.store(false, std::memory_order_seq_cst);
}

void* worker_main(void* arg) {
    auto* self = static_cast<Worker*>(arg);
    tl_worker = self;
    // A new thread inherits its creator's environment; workers never change it.
    std::fesetenv(FE_DFL_ENV);
    wait_until(self, self->core->stop);
    return nullptr;
}

void stop_and_join(Core* core, std::size_t started) noexcept {
    core->stop.store(true, std::memory_order_seq_cst);
    for (std::size_t i = 0; i < started; ++i) {
        Worker* w = core->workers[i].get();
        {
            std::lock_guard<std::mutex> lock(w->mutex);
            w->signalled = true;
            w->cv.notify_one();
        }
        pthread_join(w->thread, nullptr);
    }
}

}  // namespace

Worker* current_worker() noexcept { return tl_worker; }
Core* core_of(const Worker* w) noexcept { return w->core; }

bool push_local(Worker* w, Job* job) {
    if (!w->deque.push(job)) return false;
    wake_one(w->core);
    return true;
}

bool take_back(Worker* w, Job* mine) {
    // Whatever a finished left half pushed it has taken back, so the top is
    // `mine` unless a thief took it, and then everything older went too.
    for (;;) {
        Job* job = w->deque.pop();
        if (job == mine) return true;
        if (job == nullptr) return false;
        job->exec(job, w);
    }
}

void wait_until(Worker* w, const std::atomic<bool>& latch) {
    Job* job = nullptr;
    auto found = [&] { return latch.load(std::memory_order_acquire) || (job = find_work(w)) != nullptr; };
    while (!latch.load(std::memory_order_acquire)) {
        if (!found()) {
            Core* core = w->core;
            core->searching.fetch_add(1, std::memory_order_seq_cst);
            const bool got = spin_until(found, kWorkerSpinFor, core->yield_cpu);
            core->searching.fetch_sub(1, std::memory_order_seq_cst);
            if (!got) {
                sleep_until(w, latch);
                continue;
            }
        }
        if (Job* run = job) {
            job = nullptr;
            run->exec(run, w);
        }
    }
}

void set_latch(std::atomic<bool>& latch, Worker* owner) {
    latch.store(true, std::memory_order_seq_cst);
    // `latch` may be gone from here on. The owner marks itself asleep before
    // its last look at the latch, so one of us sees the other.
    if (owner->asleep.load(std::memory_order_seq_cst)) {
        std::lock_guard<std::mutex> lock(owner->mutex);
        if (owner->asleep.load(std::memory_order_relaxed)) {
            owner->signalled = true;
            owner->cv.notify_one();
        }
    }
}

void CallerLatch::set() {
    // Set and notify under the lock: the waiter owns this object and may
    // destroy it as soon as it can take the lock and sees done.
    std::lock_guard<std::mutex> lock(mutex_);
    done_.store(true, std::memory_order_release);
    cv_.notify_one();
}

void CallerLatch::wait(bool yield_cpu) {
    if (spin_until([this] { return done_.load(std::memory_order_acquire); }, kCallerSpinFor,
                   yield_cpu)) {
        std::lock_guard<std::mutex> lock(mutex_);  // let set() leave the lock before we go
        return;
    }
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait(lock, [this] { return done_.load(std::memory_order_relaxed); });
}

bool oversubscribed(const Core* core) noexcept { return core->yield_cpu; }

void inject(Core* core, Job* job) {
    {
        std::lock_guard<std::mutex> lock(core->injected_mutex);
        core->injected.push_back(job);
    }
    core->injected_count.fetch_add(1, std::memory_order_seq_cst);
    wake_one(core);
}

void rethrow_as_panic(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const Panic&) {
        throw;
    } catch (const std::bad_alloc&) {
        throw;  // running out of memory is no broken invariant
    } catch (const std::exception& e) {
        throw Panic(e.what());
    } catch (...) {
        throw Panic("a worker failed with an unknown exception");
    }
}

Core* create_core(std::size_t threads, std::size_t stack_size) {
    auto core = std::make_unique<Core>();
    core->threads = threads;
    core->yield_cpu = threads > affinity_cpu_count().value_or(1);
    core->workers.reserve(threads);
    for (std::size_t i = 0; i < threads; ++i) {
        auto w = std::make_unique<Worker>();
        w->core = core.get();
        w->index = i;
        w->rng = 0x9E3779B97F4A7C15ull * (i + 1);
        core->workers.push_back(std::move(w));
    }

    pthread_attr_t attr;
    pthread_attr_init(&attr);
    if (stack_size != 0) {
        if (const int rc = pthread_attr_setstacksize(&attr, stack_size); rc != 0) {
            pthread_attr_destroy(&attr);
            throw std::system_error(rc, std::generic_category(), "invalid worker stack size");
        }
    }
    // Workers inherit a full signal mask, so signals go to the interpreter's
    // threads, never to a worker.
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    for (std::size_t i = 0; i < threads; ++i) {
        Worker* w = core->workers[i].get();
        if (const int rc = pthread_create(&w->thread, &attr, &worker_main, w); rc != 0) {
            pthread_sigmask(SIG_SETMASK, &previous, nullptr);
            pthread_attr_destroy(&attr);
            stop_and_join(core.get(), i);
            throw std::system_error(rc, std::generic_category(), "failed to spawn worker thread " + std::to_string(i));
        }
        const std::string name = "kestrum-" + std::to_string(i);
        pthread_setname_np(w->thread, name.substr(0, 15).c_str());
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    pthread_attr_destroy(&attr);
    return core.release();
}

void destroy_core(Core* core) noexcept {
    stop_and_join(core, core->threads);
    delete core;
}

std::string concat(std::vector<std::string>& chunks) {
    if (chunks.size() == 1) return std::move(chunks.front());
    std::size_t total = 0;
    for (const auto& c : chunks) total += c.size();
    std::string out;
    out.reserve(total);
    for (const auto& c : chunks) out += c;
    return out;
}

}  // namespace detail

// ===========================================================================
// Pool

Pool::Pool(std::size_t threads, std::size_t stack_size)
    : threads_(threads), runnable_(std::min(threads, default_thread_count())), core_(nullptr) {
    if (threads == 0) throw Panic("a pool needs at least one thread");
    core_ = detail::create_core(threads, stack_size);
}

Pool::~Pool() { detail::destroy_core(core_); }

Pool& LazyPool::get() {
    if (Pool* p = ready_.load(std::memory_order_acquire)) return *p;
    std::lock_guard<std::mutex> lock(mutex_);
    if (!pool_ && !failed_) {
        try {
            pool_ = factory_();
            if (!pool_) error_ = "no pool was created";
        } catch (const std::bad_alloc&) {
            throw;  // short of memory, nothing is decided: a later call tries again
        } catch (const std::exception& e) {
            error_ = e.what();
        } catch (...) {
            error_ = "unknown error";
        }
        failed_ = !pool_;
        if (pool_) ready_.store(pool_.get(), std::memory_order_release);
    }
    if (!pool_) throw Panic(std::string(kNotInitialized) + ": " + error_);
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

}  // namespace kestrum::pool
