// Word generators over the ChaCha block function, handing out one 32-bit word per call from a
// buffer of four blocks. ChaChaRng is deterministic for a key and stream. ThreadRng is the
// generator every model operation draws from, one per thread: a ChaCha12Rng whose key comes
// from getrandom on first use and again after 64 KiB of output and in a forked child. A
// ThreadRng is never shared between threads; thread_rng() returns the calling thread's own.
// Both are buffered word sources (draws.hpp): a shuffle reads their buffer in place.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "chacha.hpp"
#include "draws.hpp"

namespace tavrin {

// The words of the blocks counter, counter + 1, ... of one key and stream, in order, the
// counter starting at 0. `blocks` computes them: the fastest path by default, or one chosen
// from chacha_paths() (all give the same words).
template <unsigned Rounds>
class ChaChaRng : public WordSourceBase {
public:
    constexpr explicit ChaChaRng(const ChaChaKey& key, std::uint64_t stream = 0,
                                 ChaChaRefillFunction blocks = &chacha_refill<Rounds>) noexcept
        : key_(key), stream_(stream), blocks_(blocks) {}

    result_type operator()() { return WordCursor<ChaChaRng>(*this)(); }

    // Starts over at block 0 of `key`, dropping the buffered words.
    void rekey(const ChaChaKey& key) noexcept {
        key_ = key;
        counter_ = 0;
        set_next_word(buffer_end());
    }

    // Words drawn since block 0 of the stream: where the next word comes from.
    [[nodiscard]] std::uint64_t position() const noexcept {
        return counter_ * CHACHA_BLOCK_WORDS - (CHACHA_REFILL_WORDS - index_);
    }

    // Goes on from word `position` of the stream, as position() gave it.
    void seek(std::uint64_t position) {
        counter_ = position / CHACHA_REFILL_WORDS * CHACHA_REFILL_BLOCKS;
        index_ = CHACHA_REFILL_WORDS;
        if (const std::uint64_t within = position % CHACHA_REFILL_WORDS; within != 0) {
            refill();
            index_ = static_cast<std::uint32_t>(within);
        }
    }

    // Hands `count` blocks to a caller that computes them itself (the lanes, lanes.hpp): the
    // first one's counter; the next refill starts after them. The buffered words stay to be
    // read, and position() no longer means anything.
    std::uint64_t skip_blocks(std::uint32_t count) noexcept {
        const std::uint64_t first = counter_;
        counter_ += count;
        return first;
    }
    [[nodiscard]] const ChaChaKey& key() const noexcept { return key_; }

    // The buffered words, for WordCursor.
    const std::uint32_t* next_word() const noexcept { return buffer_.data() + index_; }
    const std::uint32_t* buffer_end() const noexcept { return buffer_.data() + CHACHA_REFILL_WORDS; }
    void set_next_word(const std::uint32_t* next) noexcept {
        index_ = static_cast<std::uint32_t>(next - buffer_.data());
    }
    // The next four blocks. Kept out of line: inlined into a shuffle's loop of draws, it cost
    // the loop registers and two instructions per word.
    [[gnu::noinline]] const std::uint32_t* refill() {
        blocks_(key_, counter_, stream_, buffer_);
        counter_ += CHACHA_REFILL_BLOCKS;
        index_ = 0;
        return buffer_.data();
    }

private:
    ChaChaRefill buffer_{};
    ChaChaKey key_;
    std::uint64_t counter_ = 0;
    std::uint64_t stream_;
    ChaChaRefillFunction blocks_;
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

// ChaCha12, stream 0, with a key from the seed source and the block counter from 0 for each
// key. The per-word path is the ChaCha12Rng's; seeding and reseeding happen only in refill.
class ThreadRng : public WordSourceBase {
public:
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

    result_type operator()() { return WordCursor<ThreadRng>(*this)(); }

    // Drops the buffered words and forces a fresh key before the next word.
    void invalidate() noexcept {
        words_.set_next_word(words_.buffer_end());
        refills_left_ = 0;
    }

    // How many keys the seed source has supplied so far.
    std::uint64_t seedings() const noexcept { return seedings_; }

    // The buffered words, for WordCursor. refill() takes a fresh key first when one is due.
    const std::uint32_t* next_word() const noexcept { return words_.next_word(); }
    const std::uint32_t* buffer_end() const noexcept { return words_.buffer_end(); }
    void set_next_word(const std::uint32_t* next) noexcept { words_.set_next_word(next); }
    const std::uint32_t* refill();

    // `count` fresh blocks of the stream (a multiple of CHACHA_REFILL_BLOCKS, at most a key's
    // worth) for lanes that compute them themselves: the first one's counter, and their key in
    // `key`. They count toward the next key as the refills of as many words do, and a key
    // without room for all of them is replaced first; the buffered words stay to be read.
    std::uint64_t take_blocks(std::uint32_t count, ChaChaKey& key);

private:
    void reseed();

    ChaChaRng<ROUNDS> words_{ChaChaKey{}};
    std::uint64_t seedings_ = 0;
    SeedSource source_;
    // Zero means a key must be taken before the next refill.
    std::uint32_t refills_left_ = 0;
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
