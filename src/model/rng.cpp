// Seeding of the per-thread generators. Every thread's generator starts without a key and takes
// one from getrandom before its first refill. A fork copies the forking thread's buffered words
// into the child, so a pthread_atfork child handler, registered once per process before any
// generator holds words, empties that thread's buffer and forces a fresh key in the child.
#include "rng.hpp"

#include <pthread.h>
#include <sys/random.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <string>
#include <type_traits>

#include "fatal.hpp"

namespace tavrin {

namespace {

constexpr const char* GETRANDOM_GAVE_NOTHING = "returned no bytes";
constexpr const char* ATFORK_FAILED = "pthread_atfork failed: ";

constinit thread_local ThreadRng this_thread_rng;
// A thread-local object with a destructor is registered for thread exit on first use, and
// glibc allocates that registration and aborts when it cannot: keep every one trivial.
static_assert(std::is_trivially_destructible_v<ThreadRng>);

void invalidate_after_fork() noexcept { this_thread_rng.invalidate(); }

void register_fork_handler() {
    static const int error = pthread_atfork(nullptr, nullptr, &invalidate_after_fork);
    if (error != 0) {
        fail(std::string(ATFORK_FAILED) + std::strerror(error));
    }
}

}  // namespace

void read_entropy(void* buffer, std::size_t length, GetrandomFunction read) {
    auto* out = static_cast<unsigned char*>(buffer);
    while (length > 0) {
        const ssize_t got = read(out, length, 0);
        if (got < 0) {
            const int error = errno;
            if (error == EINTR) {
                continue;
            }
            fail(std::string(GETRANDOM_FAILED) + std::strerror(error));
        }
        if (got == 0) {
            // Not seen from the kernel for a blocking request; looping on it would never end.
            fail(std::string(GETRANDOM_FAILED) + GETRANDOM_GAVE_NOTHING);
        }
        out += got;
        length -= static_cast<std::size_t>(got);
    }
}

void read_os_entropy(ChaChaKey& key) {
    std::uint8_t bytes[sizeof key];
    read_entropy(bytes, sizeof bytes, &::getrandom);
    // Key words are little-endian, whatever the host's byte order.
    for (std::size_t i = 0; i < key.size(); ++i) {
        const std::uint8_t* b = bytes + 4 * i;
        key[i] = std::uint32_t{b[0]} | std::uint32_t{b[1]} << 8 | std::uint32_t{b[2]} << 16 |
                 std::uint32_t{b[3]} << 24;
    }
}

void ThreadRng::reseed() {
    register_fork_handler();
    ChaChaKey key;
    source_(key);
    words_.rekey(key);
    refills_left_ = REFILLS_PER_SEED;
    ++seedings_;
}

const std::uint32_t* ThreadRng::refill() {
    if (refills_left_ == 0) {
        reseed();
    }
    --refills_left_;
    return words_.refill();
}

std::uint64_t ThreadRng::take_blocks(std::uint32_t count, ChaChaKey& key) {
    const std::uint32_t refills = count / CHACHA_REFILL_BLOCKS;
    if (refills_left_ < refills) {
        reseed();
    }
    refills_left_ -= refills;
    key = words_.key();
    return words_.skip_blocks(count);
}

ThreadRng& thread_rng() noexcept { return this_thread_rng; }

void prepare_thread_storage() noexcept {
    // Taking the address runs the thread-local lookup that allocates this library's block;
    // the volatile keeps the compiler from dropping it.
    ThreadRng* volatile rng = &this_thread_rng;
    static_cast<void>(rng);
    // The C++ runtime keeps each thread's exception state in thread-local storage of its own,
    // which the first throw on the thread would otherwise allocate. The result must be kept:
    // the function is declared pure, so an unused call is dropped.
    volatile int in_flight = std::uncaught_exceptions();
    static_cast<void>(in_flight);
}

}  // namespace tavrin
