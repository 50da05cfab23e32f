// The memory budget: the cgroup files found and read as the kernel lays them out (v2, v1, a
// mount of part of the tree), the headroom under the resource limits, and seat lists and
// seating results refused up front when they do not fit under a limit set in a child process.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "config.hpp"
#include "failures.hpp"
#include "memory.hpp"
#include "process_state.hpp"
#include "seating.hpp"

namespace tavrin {
namespace {

using memory_files::CgroupMount;
using testing_support::failure_of;

constexpr std::uint64_t MIB = std::uint64_t{1} << 20;

// A hybrid system: the memory controller in v1, the rest of the tree in v2.
constexpr const char* PROC_SELF_CGROUP =
    "9:name=systemd:/\n"
    "4:cpu,memory:/jobs/ours\n"
    "1:cpuacct:/\n"
    "0::/user.slice/session-1.scope\n";

constexpr const char* MOUNTINFO =
    "25 1 8:1 / / rw,relatime shared:1 - ext4 /dev/sda1 rw\n"
    "31 23 0:28 / /sys/fs/cgroup rw,relatime - tmpfs tmpfs rw,mode=755\n"
    "35 31 0:32 /jobs /sys/fs/cgroup/memory rw,relatime shared:9 - cgroup cgroup rw,cpu,memory\n"
    "41 31 0:38 / /sys/fs/cgroup/unified rw,relatime shared:12 master:3 - cgroup2 cgroup2 rw\n";

TEST(CgroupFiles, FindTheProcesssCgroupAndItsMountForEachVersion) {
    EXPECT_EQ(memory_files::cgroup_path(PROC_SELF_CGROUP, ""), "/user.slice/session-1.scope");
    EXPECT_EQ(memory_files::cgroup_path(PROC_SELF_CGROUP, "memory"), "/jobs/ours");
    EXPECT_EQ(memory_files::cgroup_path("0::/\n", "memory"), std::nullopt);
    EXPECT_EQ(memory_files::cgroup_path("4:memory:/a\n", ""), std::nullopt);

    const auto v2 = memory_files::cgroup_mount(MOUNTINFO, "");
    ASSERT_TRUE(v2.has_value());
    EXPECT_EQ(v2->point, "/sys/fs/cgroup/unified");
    EXPECT_EQ(v2->root, "/");
    const auto v1 = memory_files::cgroup_mount(MOUNTINFO, "memory");
    ASSERT_TRUE(v1.has_value());
    EXPECT_EQ(v1->point, "/sys/fs/cgroup/memory");
    EXPECT_EQ(v1->root, "/jobs");
    EXPECT_EQ(memory_files::cgroup_mount(MOUNTINFO, "pids"), std::nullopt);
}

class CgroupTree : public testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/tavrin-cgroup-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        top_ = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(top_); }

    void write(const std::string& folder, const std::string& file, const std::string& text) {
        std::filesystem::create_directories(top_ + folder);
        std::ofstream(top_ + folder + "/" + file) << text;
    }

    std::string top_;
};

TEST_F(CgroupTree, TheLeastHeadroomOfTheCgroupAndEveryCgroupAboveItCounts) {
    write("", "memory.max", "max\n");
    write("", "memory.current", "5000000\n");
    write("/a", "memory.max", "1000\n");
    write("/a", "memory.current", "300\n");
    write("/a/b", "memory.max", "max\n");
    write("/a/b", "memory.current", "100\n");
    write("/a/b/c", "memory.max", "2000\n");
    write("/a/b/c", "memory.current", "50\n");
    const CgroupMount mount{top_, "/"};
    EXPECT_EQ(memory_files::cgroup_headroom(mount, "/a/b/c", "memory.max", "memory.current"), 700u);
    EXPECT_EQ(memory_files::cgroup_headroom(mount, "/", "memory.max", "memory.current"), UINT64_MAX);
    // A cgroup over its limit has no headroom at all.
    write("/a", "memory.current", "1200\n");
    EXPECT_EQ(memory_files::cgroup_headroom(mount, "/a/b/c/", "memory.max", "memory.current"), 0u);
    // Without the files (another version's names, a folder gone) nothing is limited.
    EXPECT_EQ(memory_files::cgroup_headroom(mount, "/a/b/c", "memory.limit_in_bytes", "memory.usage_in_bytes"),
              UINT64_MAX);
    EXPECT_EQ(memory_files::cgroup_headroom(mount, "/gone", "memory.max", "memory.current"), UINT64_MAX);
}

TEST_F(CgroupTree, AMountOfPartOfTheTreeShowsTheProcesssCgroupBelowItsRoot) {
    // The process is in /jobs/ours; the mount shows /jobs as its top.
    write("/ours", "memory.limit_in_bytes", "9223372036854771712\n");
    write("/ours", "memory.usage_in_bytes", "4096\n");
    write("", "memory.limit_in_bytes", "65536\n");
    write("", "memory.usage_in_bytes", "1024\n");
    const CgroupMount mount{top_, "/jobs"};
    EXPECT_EQ(memory_files::cgroup_headroom(mount, "/jobs/ours", "memory.limit_in_bytes", "memory.usage_in_bytes"),
              64512u);
}

TEST(MemoryHeadroom, IsTheSmallestOfItsLimitsAndSmallRequestsNeedNone) {
    EXPECT_EQ((MemoryHeadroom{5, 3, 9, 7}).smallest(), 3u);
    EXPECT_EQ(MemoryHeadroom{}.smallest(), UINT64_MAX);
    EXPECT_EQ(memory_budget_for(UNCHECKED_REQUEST_BYTES), UINT64_MAX);
    EXPECT_LT(memory_budget_for(UINT64_MAX), UINT64_MAX);  // physical memory at least
    EXPECT_EQ(saturating_bytes(UINT64_MAX / 2, 4), UINT64_MAX);
    EXPECT_EQ(saturating_bytes(3, 4), 12u);
}

// Runs in a child process: caps the address space and the data segment a little above what
// is in use, then checks every bound against them. Exits 0 when all hold, else with the
// number of the first check that failed.
[[noreturn]] void check_bounds_under_limits() {
    const rlimit data{rlim_t{64} << 20, rlim_t{64} << 20};
    if (::setrlimit(RLIMIT_DATA, &data) != 0 || !testing_support::cap_address_space(256 * MIB)) {
        std::_Exit(10);
    }
    const MemoryHeadroom headroom = read_memory_headroom();
    if (headroom.data > 64 * MIB || headroom.address_space > 256 * MIB || headroom.address_space < 200 * MIB) {
        std::_Exit(1);
    }
    const std::vector<char32_t> cols(std::begin(DEFAULT_COLS), std::end(DEFAULT_COLS));
    // 512 MiB of seats would pass an allocation through overcommit: the budget refuses it.
    const std::string seats = failure_of([&] { generate_seating(Planes{cols, 1, std::uint64_t{1} << 27}); });
    if (seats.rfind("cannot hold 134217728 seats: at most ", 0) != 0) {
        std::_Exit(2);
    }
    // The seat list alone would fit, with the result it would not.
    const std::string passengers =
        failure_of([&] { check_seating_result_fits(Planes{cols, 1'000'000, 1'000'000}, 100); });
    if (passengers.rfind("cannot hold 1000000 passengers: at most ", 0) != 0) {
        std::_Exit(3);
    }
    // Within the budget, and with no result to hold where passengers exceed the seats.
    if (failure_of([&] { check_seating_result_fits(Planes{cols, 200'000, 1'000'000}, 100); }) != "(no failure)" ||
        failure_of([&] { check_seating_result_fits(Planes{cols, 10'000'000, 1'000'000}, 100); }) != "(no failure)") {
        std::_Exit(4);
    }
    std::_Exit(0);
}

TEST(MemoryBudget, BoundsSeatListsAndResultsByTheLimitsOfTheProcess) {
    TAVRIN_SKIP_WHEN_ADDRESS_SPACE_UNCAPPABLE();
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(check_bounds_under_limits(), testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace tavrin
