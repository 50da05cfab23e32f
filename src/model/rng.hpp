// Word generators over the ChaCha block function, handing out one 32-bit word per call from a
// buffer of four blocks. ChaChaRng is deterministic for a key and stream. ThreadRng is the
// generator every model operation draws from, one per thread: seeded from getrandom on first
// use, reseeded after 64 KiB of output and in a forked child. A ThreadRng is never shared
// between threads; thread_rng() returns the calling thread's own.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "chacha.hpp"

namespace tavrin {

template <unsigned Rounds>
class ChaChaRng {
public:
    using result_type = std::uint32_t;
    static constexpr result_type min() { return 0; }
    static constexpr result_type max() { return UINT32_MAX; }

    explicit ChaChaRng(const ChaChaKey& key, std::uint64_t stream = 0) : key_(key), stream_(stream) {}

    result_type operator()() {
        if (index_ == CHACHA_REFILL_WORDS) [[unlikely]] {
            chacha_refill<Rounds>(key_, counter_, stream_, buffer_);
            counter_ += CHACHA_REFILL_BLOCKS;
            index_ = 0;
        }
        return buffer_[index_++];
    }

private:
    ChaChaRefill buffer_{};
    ChaChaKey key_;
    std::uint64_t counter_ = 0;
    std::uint64_t stream_;
    std::uint32_t index_ = CHACHA_REFILL_WORDS;
};

using ChaCha12Rng = ChaChaRng<12>;
using ChaCha20Rng = ChaChaRng<20>;

// Fills a key with fresh entropy.
using SeedSource = void (*)(ChaChaKey& key);

// The signature of getrandom(2).
using GetrandomFunction = ssize_t (*)(void* buffer, std::size_t length, unsigned int flags);

// Fills `length` bytes through `read`, retrying on EINTR and continuing after short reads. Any
// other failure is fatal, with a message starting GETRANDOM_FAILED.
void read_entropy(void* buffer, std::size_t length, GetrandomFunction read);

// The operating system's entropy through getrandom(2): ThreadRng's seed source.
void read_os_entropy(ChaChaKey& key);

inline constexpr const char* GETRANDOM_FAILED = "getrandom failed: ";

// ChaCha12 with key from the seed source, block counter from 0, stream 0. The per-word path
// is an index check and a load; seeding, reseeding and the block function happen only when
// the buffer runs dry.
class ThreadRng {
public:
    using result_type = std::uint32_t;
    static constexpr result_type min() { return 0; }
    static constexpr result_type max() { return UINT32_MAX; }

    static constexpr unsigned ROUNDS = 12;
    // Output allowed per key before the next key is taken from the seed source.
    static constexpr std::uint32_t RESEED_BYTES = 64 * 1024;
    static constexpr std::uint32_t REFILLS_PER_SEED =
        RESEED_BYTES / (CHACHA_REFILL_WORDS * sizeof(std::uint32_t));

    // Constant-initialised, so a thread_local instance costs no guard on access.
    constexpr explicit ThreadRng(SeedSource source = &read_os_entropy) noexcept : source_(source) {}

    // A copy would hand out the same words twice.
    ThreadRng(const ThreadRng&) = delete;
    ThreadRng& operator=(const ThreadRng&) = delete;

    result_type operator()() {
        if (index_ == CHACHA_REFILL_WORDS) [[unlikely]] {
            refill();
        }
        return buffer_[index_++];
    }

    // Drops the buffered words and forces a fresh key before the next word.
    void invalidate() noexcept {
        index_ = CHACHA_REFILL_WORDS;
        refills_left_ = 0;
    }

    // How many keys the seed source has supplied so far.
    std::uint64_t seedings() const noexcept { return seedings_; }

    class Cursor;

private:
    void refill();

    ChaChaRefill buffer_{};
    ChaChaKey key_{};
    std::uint64_t counter_ = 0;
    std::uint64_t seedings_ = 0;
    SeedSource source_;
    std::uint32_t index_ = CHACHA_REFILL_WORDS;
    // Zero means a key must be taken before the next refill.
    std::uint32_t refills_left_ = 0;
};

// The same words as the ThreadRng it reads, for loops that draw many: the position in the
// buffer stays in the cursor (a register in the loop, where the generator's own index would be
// stored on every word) and goes back to the generator when the cursor ends. While a cursor
// lives, draw from its generator only through it.
class ThreadRng::Cursor {
public:
    using result_type = std::uint32_t;
    static constexpr result_type min() { return 0; }
    static constexpr result_type max() { return UINT32_MAX; }

    explicit Cursor(ThreadRng& rng) noexcept : rng_(rng), next_(rng.buffer_.data() + rng.index_) {}
    ~Cursor() { rng_.index_ = static_cast<std::uint32_t>(next_ - rng_.buffer_.data()); }

    Cursor(const Cursor&) = delete;
    Cursor& operator=(const Cursor&) = delete;

    result_type operator()() {
        if (next_ == rng_.buffer_.data() + CHACHA_REFILL_WORDS) [[unlikely]] {
            rng_.refill();
            next_ = rng_.buffer_.data();
        }
        return *next_++;
    }

private:
    ThreadRng& rng_;
    const std::uint32_t* next_;
};

// The calling thread's generator. Valid for the life of the thread; never hand it to another.
ThreadRng& thread_rng() noexcept;

// Makes sure the calling thread's thread-local storage, this library's and the C++ runtime's,
// exists. glibc allocates the storage of a library loaded with dlopen on the thread's first
// touch and aborts the process when that allocation fails, so every thread that runs the
// model calls this before the call allocates anything large. musl allocates it when the
// library is loaded and when a thread is created, so there it only reads.
void prepare_thread_storage() noexcept;

}  // namespace tavrin
