// Reading the limits: /proc/meminfo, /proc/self/statm, the cgroup files and getrlimit. A
// file that cannot be read or parsed limits nothing; the other limits still apply, and an
// allocation beyond the true limit still fails with std::bad_alloc where the system refuses it.
#include "memory.hpp"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <vector>

namespace tavrin {

namespace {

// The files read here are a few kilobytes; mountinfo with many mounts is the largest.
constexpr std::size_t MAX_FILE_BYTES = std::size_t{1} << 20;
constexpr std::uint64_t KIB = 1024;

std::optional<std::string> read_file(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return std::nullopt;
    }
    std::string text;
    char chunk[4096];
    for (;;) {
        const ssize_t got = ::read(fd, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0 || text.size() > MAX_FILE_BYTES) {
            ::close(fd);
            if (got < 0) {
                return std::nullopt;
            }
            return text;
        }
        text.append(chunk, static_cast<std::size_t>(got));
    }
}

std::optional<std::uint64_t> parse_u64(std::string_view text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) {
        text.remove_suffix(1);
    }
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

std::vector<std::string_view> split(std::string_view text, char separator) {
    std::vector<std::string_view> parts;
    for (;;) {
        const std::size_t at = text.find(separator);
        parts.push_back(text.substr(0, at));
        if (at == std::string_view::npos) {
            return parts;
        }
        text.remove_prefix(at + 1);
    }
}

std::vector<std::string_view> lines(std::string_view text) {
    std::vector<std::string_view> all = split(text, '\n');
    if (!all.empty() && all.back().empty()) {
        all.pop_back();
    }
    return all;
}

std::uint64_t headroom_under(std::uint64_t limit, std::uint64_t used) noexcept {
    return limit > used ? limit - used : 0;
}

std::uint64_t page_size() {
    const long size = ::sysconf(_SC_PAGESIZE);
    return size > 0 ? static_cast<std::uint64_t>(size) : 4096;
}

std::uint64_t physical_headroom() {
    if (const auto meminfo = read_file("/proc/meminfo")) {
        constexpr std::string_view KEY = "MemAvailable:";
        for (std::string_view line : lines(*meminfo)) {
            if (line.substr(0, KEY.size()) == KEY) {
                line.remove_prefix(KEY.size());
                line.remove_prefix(std::min(line.find_first_not_of(' '), line.size()));
                if (const auto kib = parse_u64(line.substr(0, line.find(' ')))) {
                    return saturating_bytes(*kib, KIB);
                }
            }
        }
    }
    const long pages = ::sysconf(_SC_PHYS_PAGES);
    return pages > 0 ? saturating_bytes(static_cast<std::uint64_t>(pages), page_size()) : UINT64_MAX;
}

std::uint64_t cgroup_headroom_of_process() {
    const auto cgroups = read_file("/proc/self/cgroup");
    const auto mountinfo = read_file("/proc/self/mountinfo");
    if (!cgroups || !mountinfo) {
        return UINT64_MAX;
    }
    struct Version {
        std::string_view controller;
        const char* limit_file;
        const char* usage_file;
    };
    // v2 first; on a hybrid system the memory controller may sit in the v1 hierarchy.
    constexpr Version VERSIONS[] = {{"", "memory.max", "memory.current"},
                                    {"memory", "memory.limit_in_bytes", "memory.usage_in_bytes"}};
    std::uint64_t headroom = UINT64_MAX;
    for (const Version& version : VERSIONS) {
        const auto path = memory_files::cgroup_path(*cgroups, version.controller);
        const auto mount = memory_files::cgroup_mount(*mountinfo, version.controller);
        if (path && mount) {
            headroom = std::min(headroom, memory_files::cgroup_headroom(*mount, *path, version.limit_file,
                                                                        version.usage_file));
        }
    }
    return headroom;
}

// The soft limit, or nothing when it is unlimited.
std::optional<std::uint64_t> soft_limit(int resource) {
    rlimit limit{};
    if (::getrlimit(resource, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) {
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(limit.rlim_cur);
}

}  // namespace

std::uint64_t saturating_bytes(std::uint64_t count, std::uint64_t size) noexcept {
    return size != 0 && count > UINT64_MAX / size ? UINT64_MAX : count * size;
}

std::uint64_t MemoryHeadroom::smallest() const noexcept { return std::min({physical, cgroup, address_space, data}); }

MemoryHeadroom read_memory_headroom() {
    MemoryHeadroom headroom;
    headroom.physical = physical_headroom();
    headroom.cgroup = cgroup_headroom_of_process();

    // statm: total mapped size, resident, shared, text, library, data and stack; in pages.
    std::uint64_t mapped = 0;
    std::uint64_t data = 0;
    if (const auto statm = read_file("/proc/self/statm")) {
        const std::vector<std::string_view> fields = split(*statm, ' ');
        if (fields.size() >= 6) {
            mapped = saturating_bytes(parse_u64(fields[0]).value_or(0), page_size());
            data = saturating_bytes(parse_u64(fields[5]).value_or(0), page_size());
        }
    }
    std::optional<std::uint64_t> address_limit = soft_limit(RLIMIT_AS);
    if constexpr (sizeof(void*) < 8) {
        address_limit = std::min(address_limit.value_or(UINT64_MAX), std::uint64_t{1} << 32);
    }
    if (address_limit) {
        headroom.address_space = headroom_under(*address_limit, mapped);
    }
    if (const auto data_limit = soft_limit(RLIMIT_DATA)) {
        headroom.data = headroom_under(*data_limit, data);
    }
    return headroom;
}

std::uint64_t memory_budget_for(std::uint64_t bytes) {
    return bytes <= UNCHECKED_REQUEST_BYTES ? UINT64_MAX : read_memory_headroom().smallest();
}

namespace memory_files {

std::optional<std::string> cgroup_path(std::string_view proc_self_cgroup, std::string_view controller) {
    // Each line: hierarchy id, controller list, path. v2 has id 0 and an empty list.
    for (const std::string_view line : lines(proc_self_cgroup)) {
        const std::size_t first = line.find(':');
        const std::size_t second = first == std::string_view::npos ? first : line.find(':', first + 1);
        if (second == std::string_view::npos) {
            continue;
        }
        const std::string_view controllers = line.substr(first + 1, second - first - 1);
        const bool wanted = controller.empty()
                                ? line.substr(0, first) == "0" && controllers.empty()
                                : std::ranges::count(split(controllers, ','), controller) > 0;
        if (wanted) {
            return std::string(line.substr(second + 1));
        }
    }
    return std::nullopt;
}

std::optional<CgroupMount> cgroup_mount(std::string_view mountinfo, std::string_view controller) {
    // Each line: id, parent, device, root, mount point, options, optional fields, "-", type,
    // source, super options.
    for (const std::string_view line : lines(mountinfo)) {
        const std::vector<std::string_view> fields = split(line, ' ');
        const auto dash = std::ranges::find(fields, std::string_view("-"));
        if (fields.size() < 6 || fields.end() - dash < 4) {
            continue;
        }
        const std::string_view type = dash[1];
        const bool wanted = controller.empty()
                                ? type == "cgroup2"
                                : type == "cgroup" && std::ranges::count(split(dash[3], ','), controller) > 0;
        if (wanted) {
            return CgroupMount{std::string(fields[4]), std::string(fields[3])};
        }
    }
    return std::nullopt;
}

std::uint64_t cgroup_headroom(const CgroupMount& mount, std::string_view path, const char* limit_file,
                              const char* usage_file) {
    // The path is relative to the hierarchy's top; the mount shows the part below its root.
    std::string_view below = path;
    if (mount.root != "/" && below.substr(0, mount.root.size()) == mount.root) {
        below.remove_prefix(mount.root.size());
    }
    std::uint64_t headroom = UINT64_MAX;
    for (;;) {
        const std::string folder = mount.point + std::string(below);
        const auto limit = read_file(folder + '/' + limit_file);
        const auto usage = read_file(folder + '/' + usage_file);
        if (limit && usage) {
            // "max" (no limit) does not parse and limits nothing.
            if (const auto bytes = parse_u64(*limit)) {
                headroom = std::min(headroom, headroom_under(*bytes, parse_u64(*usage).value_or(0)));
            }
        }
        while (!below.empty() && below.back() == '/') {
            below.remove_suffix(1);
        }
        if (below.empty()) {
            return headroom;
        }
        const std::size_t parent = below.rfind('/');
        below = parent == std::string_view::npos ? std::string_view() : below.substr(0, parent);
    }
}

}  // namespace memory_files

}  // namespace tavrin
