// The memory budget: how many more bytes this process can allocate and touch without being
// refused or killed. Overcommit lets an allocation far beyond any real limit succeed, and the
// first touch of its pages then kills the process, so large requests are measured against the
// headroom under every limit the system puts on the process, and refused up front.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tavrin {

// Requests up to this size pass without looking at the budget, so everyday calls read no
// files; anything this small fits wherever the interpreter itself still runs.
inline constexpr std::uint64_t UNCHECKED_REQUEST_BYTES = std::uint64_t{16} << 20;

// Bytes still free under each limit; UINT64_MAX where the limit is absent or unreadable.
struct MemoryHeadroom {
    // Memory the kernel counts as available for new work (MemAvailable), else physical memory.
    std::uint64_t physical = UINT64_MAX;
    // Under memory.max (cgroup v2) or memory.limit_in_bytes (v1) of the process's cgroup and
    // of every cgroup above it, less what each already uses.
    std::uint64_t cgroup = UINT64_MAX;
    // Under RLIMIT_AS (and, in a 32-bit process, its 4 GiB of addresses), less the mapped size.
    std::uint64_t address_space = UINT64_MAX;
    // Under RLIMIT_DATA, less the data already mapped.
    std::uint64_t data = UINT64_MAX;

    [[nodiscard]] std::uint64_t smallest() const noexcept;
};

// Reads every limit now: limits and usage change while the process runs.
MemoryHeadroom read_memory_headroom();

// The budget for a request of `bytes`: UINT64_MAX when it is small enough to need none,
// otherwise read_memory_headroom().smallest().
std::uint64_t memory_budget_for(std::uint64_t bytes);

// count * size, or UINT64_MAX when that does not fit in 64 bits.
std::uint64_t saturating_bytes(std::uint64_t count, std::uint64_t size) noexcept;

// The pieces of read_memory_headroom that read system files, for tests on made-up trees.
namespace memory_files {

// Where a cgroup hierarchy is mounted: the mount point, and the cgroup path shown there as "/".
struct CgroupMount {
    std::string point;
    std::string root;
};

// The process's cgroup path from the text of /proc/self/cgroup: the v2 entry ("0::/a/b")
// when `controller` is empty, else the v1 entry whose controller list names it.
std::optional<std::string> cgroup_path(std::string_view proc_self_cgroup, std::string_view controller);

// The mount of that hierarchy from the text of /proc/self/mountinfo: of type cgroup2 when
// `controller` is empty, else of type cgroup with `controller` among its options.
std::optional<CgroupMount> cgroup_mount(std::string_view mountinfo, std::string_view controller);

// The least headroom, limit minus usage, over the cgroup at `path` and every cgroup above it
// up to the mount's top, from the files `limit_file` and `usage_file` in each one's folder. A
// limit of "max", or a folder without the files, limits nothing.
std::uint64_t cgroup_headroom(const CgroupMount& mount, std::string_view path, const char* limit_file,
                              const char* usage_file);

}  // namespace memory_files

}  // namespace tavrin
