#pragma once
// How many workers the process-wide pool starts: the environment's request,
// else the CPUs this process may actually use (affinity mask, capped by a
// cgroup CPU quota). Parsing is separate from reading, so every rule is
// tested on literal texts.
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace kestrum::parallel {

// A thread-count variable's value: an optional '+', then decimal digits only,
// fitting in 64 bits. nullopt for anything else (including a null pointer).
std::optional<std::size_t> parse_thread_env(const char* text);

using EnvGetter = std::function<const char*(const char*)>;

// The size the environment asks for, or nullopt when the default applies.
// RAYON_NUM_THREADS wins when it is a number (0 meaning "default");
// otherwise RAYON_RS_NUM_CPUS decides, where only a number > 0 counts.
std::optional<std::size_t> size_from_env(const EnvGetter& getenv);

// CPUs granted by a cgroup quota: floor(quota / period), at least 1;
// nullopt for "no limit" or unreadable text.
std::optional<std::size_t> cpus_from_quota(std::string_view quota, std::string_view period);
// A cgroup v2 `cpu.max` file ("max 100000", "150000 100000").
std::optional<std::size_t> parse_cpu_max(std::string_view text);

using FileReader = std::function<std::optional<std::string>(const std::string& path)>;

// The tightest CPU limit among the process's cgroup and its ancestors, found
// from /proc/self/cgroup and /proc/self/mountinfo texts; both cgroup v2
// (cpu.max) and v1 (cpu.cfs_quota_us / cpu.cfs_period_us) are read.
std::optional<std::size_t> cgroup_cpu_limit(std::string_view self_cgroup, std::string_view mountinfo,
                                            const FileReader& read);

// CPUs in the process's affinity mask; nullopt when it cannot be read.
std::optional<std::size_t> affinity_cpu_count();

// Affinity-set CPU count (else online processors, else 1), capped by the
// cgroup quota.
std::size_t default_thread_count();

// What the process-wide pool is sized to: the environment, else the default.
std::size_t configured_thread_count();

}  // namespace kestrum::parallel
