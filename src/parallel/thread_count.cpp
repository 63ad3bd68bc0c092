// How many threads the pool gets: environment first, then what the OS lets this process use.
#include <sched.h>

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>

#include "parallel/pool.hpp"

namespace tarnwick::parallel {
namespace {

std::optional<std::size_t> read_quota_cpus_v2(const std::string& dir) {
    std::ifstream file(dir + "/cpu.max");
    std::string quota;
    std::size_t period = 0;
    if (!(file >> quota >> period) || quota == "max" || period == 0) return std::nullopt;
    auto limit = parse_thread_count(quota);
    if (!limit) return std::nullopt;
    return std::max<std::size_t>(1, *limit / period);
}

std::optional<std::size_t> read_quota_cpus_v1(const std::string& dir) {
    std::ifstream quota_file(dir + "/cpu.cfs_quota_us");
    std::ifstream period_file(dir + "/cpu.cfs_period_us");
    long long quota = -1, period = 0;
    if (!(quota_file >> quota) || !(period_file >> period) || quota <= 0 || period <= 0)
        return std::nullopt;
    return std::max<std::size_t>(1, static_cast<std::size_t>(quota / period));
}

// The tightest quota on the way from the process's own cgroup up to the root of its hierarchy.
std::optional<std::size_t> cgroup_quota_cpus() {
    std::ifstream membership("/proc/self/cgroup");
    std::optional<std::size_t> tightest;
    std::string line;
    while (std::getline(membership, line)) {
        // "hierarchy-id:controllers:path"; v2 is "0::path", v1 lists "cpu" among its controllers.
        auto first = line.find(':'), second = line.find(':', first + 1);
        if (first == std::string::npos || second == std::string::npos) continue;
        std::string controllers = line.substr(first + 1, second - first - 1);
        std::string path = line.substr(second + 1);
        bool v2 = line.compare(0, first, "0") == 0 && controllers.empty();
        std::stringstream names(controllers);
        bool v1_cpu = false;
        for (std::string name; std::getline(names, name, ',');) v1_cpu |= name == "cpu";
        if (!v2 && !v1_cpu) continue;
        std::string root = v2 ? "/sys/fs/cgroup" : "/sys/fs/cgroup/cpu";
        for (;;) {
            auto cpus = v2 ? read_quota_cpus_v2(root + path) : read_quota_cpus_v1(root + path);
            if (cpus) tightest = std::min(tightest.value_or(*cpus), *cpus);
            if (path.empty() || path == "/") break;
            path.erase(path.rfind('/'));
        }
    }
    return tightest;
}

}  // namespace

std::optional<std::size_t> parse_thread_count(std::string_view text) {
    // One leading '+' is allowed, as the usual parsers of these variables allow it.
    if (text.size() > 1 && text.front() == '+') text.remove_prefix(1);
    std::size_t value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value == 0) return std::nullopt;
    return value;
}

std::size_t pool_size_cap(std::size_t cpus) {
    constexpr std::size_t FLOOR = 256, PER_CPU = 4;
    const std::size_t known = std::max<std::size_t>(cpus, 1);
    return known > std::numeric_limits<std::size_t>::max() / PER_CPU
               ? std::numeric_limits<std::size_t>::max()
               : std::max(FLOOR, known * PER_CPU);
}

std::size_t choose_pool_size(const char* rayon_num_threads, const char* rayon_rs_num_cpus,
                             std::size_t cpus) {
    for (const char* text : {rayon_num_threads, rayon_rs_num_cpus})
        if (text)
            if (auto count = parse_thread_count(text)) return std::min(*count, pool_size_cap(cpus));
    return cpus > 0 ? cpus : 1;
}

std::size_t available_cpus() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) != 0) return 0;
    std::size_t cpus = static_cast<std::size_t>(CPU_COUNT(&set));
    if (auto quota = cgroup_quota_cpus()) cpus = std::min(cpus, *quota);
    return cpus;
}

}  // namespace tarnwick::parallel
