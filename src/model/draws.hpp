// The two random draws of the model, over any source of uniform 32-bit words: a bounded
// integer and a shuffle. Both are fixed algorithms, so that a given word stream always yields
// the same results (std::uniform_int_distribution and std::shuffle are library-defined).
// Callers keep bounds below 2^32: a draw never sees a larger list.
#pragma once

#include <bit>
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

// Uniform k with 0 <= k < n, for 1 <= n < 2^32. Takes words v until the low half of the 64-bit
// v * n is at most zone = (n shifted up to bit 31) - 1 and returns its high half. The low
// halves of the words mapping to one k step by n, so every k owns exactly zone + 1 over n
// accepted words. At most half of all words are rejected; n = 1 rejects exactly half.
// Always inlined: a loop of draws keeps its cursor in registers only when no draw takes the
// cursor's address.
template <WordSource G>
[[gnu::always_inline]] inline std::uint32_t uniform_below(G& g, std::uint32_t n) {
    assert(n >= 1);
    const std::uint32_t zone = (n << std::countl_zero(n)) - 1;
    for (;;) {
        const std::uint64_t product = std::uint64_t{g()} * n;
        if (static_cast<std::uint32_t>(product) <= zone) {
            return static_cast<std::uint32_t>(product >> 32);
        }
    }
}

// Fisher-Yates from the back: for j from the last position down to 1, swap entries j and
// uniform_below(j + 1). Lists of 0 or 1 entries draw nothing. At most 2^32 - 1 entries.
// Kept out of line: inlined into the batch's loop, the 32-bit x86 build ran short of registers
// and kept the cursor in memory, a store and a load on every word.
template <WordSource G, typename T>
[[gnu::noinline]] void shuffle(G& g, std::span<T> items) {
    assert(std::uint64_t{items.size()} <= UINT32_MAX);
    if (items.size() < 2) {
        return;
    }
    WordCursor<G> words(g);
    // Walking a pointer keeps the bound a 32-bit value: with a counter, GCC's -m32 code carried
    // it as a 64-bit one (two multiplies per word and spilled registers).
    T* const first = items.data();
    for (T* last = first + items.size() - 1; last != first; --last) {
        const std::uint32_t k = uniform_below(words, static_cast<std::uint32_t>(last - first) + 1);
        using std::swap;
        swap(*last, first[k]);
    }
}

}  // namespace tavrin
