// The two random draws of the model, over any source of uniform 32-bit words: a bounded
// integer and a shuffle. Both are fixed algorithms, so that a given word stream always yields
// the same results (std::uniform_int_distribution and std::shuffle are library-defined).
// Callers keep bounds below 2^32: a draw never sees a larger list.
#pragma once

#include <cassert>
#include <concepts>
#include <cstdint>
#include <random>
#include <span>
#include <utility>

namespace tavrin {

// Anything that hands out uniformly distributed 32-bit words, one per call.
template <typename G>
concept WordSource = std::uniform_random_bit_generator<G> &&
                     std::same_as<typename G::result_type, std::uint32_t> && (G::min() == 0) &&
                     (G::max() == UINT32_MAX);

// The members a word source owes std::uniform_random_bit_generator besides its call operator.
struct WordSourceBase {
    using result_type = std::uint32_t;
    static constexpr result_type min() { return 0; }
    static constexpr result_type max() { return UINT32_MAX; }
};

// A word source that keeps its words in a buffer and lets a WordCursor read them in place.
// The unread words are [next_word(), buffer_end()); buffer_end() stays put for the life of
// the source. refill() may be called only once every word is read: it fills the buffer
// afresh and returns the place of its first word. set_next_word(p) records that the words
// before p are read.
template <typename G>
concept BufferedWordSource = WordSource<G> && requires(G& g, const std::uint32_t* next) {
    { g.next_word() } noexcept -> std::same_as<const std::uint32_t*>;
    { g.buffer_end() } noexcept -> std::same_as<const std::uint32_t*>;
    { g.refill() } -> std::same_as<const std::uint32_t*>;
    { g.set_next_word(next) } noexcept;
};

// The words of a source for one run of draws (a shuffle, a boarding), the same words that
// calling the source would give. Over a buffered source the read position lives in the
// cursor, a local value the compiler keeps in a register through the run, and goes back to
// the source when the cursor ends; only an empty buffer costs a call. While a cursor lives,
// draw from its source only through it.
template <WordSource G>
class WordCursor : public WordSourceBase {
public:
    explicit WordCursor(G& source) noexcept : source_(source) {}
    result_type operator()() { return source_(); }

private:
    G& source_;
};

template <BufferedWordSource G>
class WordCursor<G> : public WordSourceBase {
public:
    explicit WordCursor(G& source) noexcept
        : source_(source), next_(source.next_word()), end_(source.buffer_end()) {}
    ~WordCursor() { source_.set_next_word(next_); }

    WordCursor(const WordCursor&) = delete;
    WordCursor& operator=(const WordCursor&) = delete;

    result_type operator()() {
        if (next_ == end_) [[unlikely]] {
            next_ = source_.refill();
        }
        return *next_++;
    }

private:
    G& source_;
    const std::uint32_t* next_;
    const std::uint32_t* const end_;
};

// Uniform k with 0 <= k < n, for 1 <= n < 2^32, from a run of words. Each word v is tried in
// turn: the 64-bit product v * n is kept when its low half is at most zone = (n shifted up to
// bit 31) - 1, and k is its high half. The low halves of the words mapping to one k step by n,
// so every k owns exactly zone + 1 over n kept words. At most half of all words are rejected;
// n = 1 and every power of two reject exactly half.
//
// Without branches. A loop of draws whose exit depends on the word is a branch the processor
// cannot predict: it guesses, and a wrong guess throws away some twenty cycles of work. So the
// loops of many draws (the shuffle, the boarding) test a word without deciding anything: the
// test yields a bit, 1 when the word is kept, and the loop goes on by arithmetic on that bit
// (a mask of all ones or all zeros chooses between two values, a position advances by the
// bit), taking one word per turn. Only the end of the whole run is a branch. The compiler
// keeps such code free of branches only while no condition is written as a choice (GCC turns
// `kept ? a : b` here into a branch): choose with select() below.

// One word's try at a draw below n: `value` is the draw the word stands for, `kept` is 1 when
// the rule keeps the word and 0 when it is rejected.
struct Attempt {
    std::uint32_t value;
    std::uint32_t kept;
};

// if_kept when kept is 1, otherwise if_rejected, by a mask rather than a branch.
[[gnu::always_inline]] inline std::uint32_t select(std::uint32_t kept, std::uint32_t if_kept,
                                                   std::uint32_t if_rejected) {
    return if_rejected ^ ((if_kept ^ if_rejected) & (0u - kept));
}

// zone + 1, that is n shifted up until bit 31 is set, for n >= 1. A 64-bit target takes the
// shift from the top bit's position in one step, which shortens the path from one bound to the
// next draw's bound by an instruction; 32-bit x86 would pay for the 64-bit shift.
[[gnu::always_inline]] inline std::uint32_t normalized(std::uint32_t n) {
    assert(n >= 1);
    // __builtin_clz: std::countl_zero adds a test for 0, which n never is.
#if UINTPTR_MAX > UINT32_MAX
    return static_cast<std::uint32_t>((std::uint64_t{n} << 31) >> (__builtin_clz(n) ^ 31));
#else
    return n << __builtin_clz(n);
#endif
}

[[gnu::always_inline]] inline Attempt attempt_below(std::uint32_t word, std::uint32_t n) {
    const std::uint64_t product = std::uint64_t{word} * n;
    const bool kept = static_cast<std::uint32_t>(product) < normalized(n);
    return {static_cast<std::uint32_t>(product >> 32), std::uint32_t{kept}};
}

// A single draw has nothing to overlap with its rejections, so it simply tries words until one
// is kept. Always inlined: a loop of draws keeps its cursor in registers only when no draw
// takes the cursor's address.
template <WordSource G>
[[gnu::always_inline]] inline std::uint32_t uniform_below(G& g, std::uint32_t n) {
    for (;;) {
        const Attempt attempt = attempt_below(g(), n);
        if (attempt.kept != 0) {
            return attempt.value;
        }
    }
}

// Fisher-Yates from the back: for j from the last position down to 1, swap entries j and
// uniform_below(j + 1). Lists of 0 or 1 entries draw nothing. At most 2^32 - 1 entries.
// One word per turn, without a branch: a kept word swaps entry j with the drawn entry and
// moves j down; a rejected one swaps entry j with itself and leaves j where it is, so the next
// word draws for the same j.
// Kept out of line: inlined into the batch's loop, the 32-bit x86 build ran short of registers
// and kept the cursor in memory, a store and a load on every word.
template <WordSource G, typename T>
[[gnu::noinline]] void shuffle(G& g, std::span<T> items) {
    assert(std::uint64_t{items.size()} <= UINT32_MAX);
    if (items.size() < 2) {
        return;
    }
    WordCursor<G> words(g);
    T* const first = items.data();
    // The entries still to shuffle, j + 1: a 32-bit count, which GCC's -m32 code would
    // otherwise carry as a 64-bit one (two multiplies per word and spilled registers).
    auto n = static_cast<std::uint32_t>(items.size());
    do {
        const Attempt attempt = attempt_below(words(), n);
        using std::swap;
        swap(first[n - 1], first[select(attempt.kept, attempt.value, n - 1)]);
        n -= attempt.kept;
    } while (n > 1);
}

// The words shuffle() takes for a list of `count` entries, taken from `g` without a list: a
// caller that needs only what comes after a shuffle (the boarding, see boarding.hpp) skips the
// swaps, which are half of a shuffle's time.
template <WordSource G>
[[gnu::noinline]] void skip_shuffle(G& g, std::uint32_t count) {
    if (count < 2) {
        return;
    }
    WordCursor<G> words(g);
    std::uint32_t n = count;
    do {
        // Only the test is needed, and the product's low half is the 32-bit product: one
        // 32-bit multiply, which the 32-bit x86 build keeps in registers (its 64-bit product
        // went through the stack, on the path from one bound to the next).
        const std::uint32_t low_half = words() * n;
        n -= std::uint32_t{low_half < normalized(n)};
    } while (n > 1);
}

}  // namespace tavrin
