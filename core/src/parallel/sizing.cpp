#include "parallel/sizing.hpp"

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <sstream>
#include <vector>

namespace kestrum::parallel {

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

}  // namespace

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

}  // namespace kestrum::parallel
