// The bounded draw and the shuffle: exact results and word counts from scripted words that
// force rejections (boundaries of the acceptance zone included), the shuffle's uniformity, and
// the same results whether a cursor reads a buffered source in place or word by word.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <map>
#include <numeric>
#include <vector>

#include "draws.hpp"
#include "word_sources.hpp"

namespace tavrin {
namespace {

using testing_support::CountingWords;
using testing_support::ScriptedWords;
using testing_support::seeded_chacha12;

static_assert(BufferedWordSource<ChaCha12Rng>, "a shuffle must read the generator's buffer in place");
static_assert(!BufferedWordSource<CountingWords<ChaCha12Rng>>);

struct DrawCase {
    std::uint32_t n;
    std::vector<std::uint32_t> words;
    std::uint32_t expected;
    std::size_t consumed;
};

TEST(UniformBelow, AcceptsTheFirstWordInsideTheZoneAndReturnsTheHighHalf) {
    const DrawCase cases[] = {
        // n = 1: zone 2^31 - 1, so every word with the top bit set is rejected.
        {1, {0x80000000, 0xffffffff, 0x7fffffff}, 0, 3},
        {1, {0x00000000}, 0, 1},
        // n = 3: zone 0xbfffffff; 0x95555555 lands exactly on it, 0x40000000 one past it.
        {3, {0xffffffff, 0x55555555, 0x55555556}, 1, 3},
        {3, {0xaaaaaaab}, 2, 1},
        {3, {0x40000000, 0x95555555}, 1, 2},
        // n = 2^31 + 1: zone 2^31, the rejections come from products just above it.
        {0x80000001, {0x00000001, 0x7fffffff, 0x80000000}, 0x40000000, 3},
        {0x80000001, {0xffffffff}, 0x80000000, 1},
        // n = 2^32 - 1: zone 2^32 - 2; only the word 1 (low half 2^32 - 1) is rejected.
        {0xffffffff, {0x00000001, 0xffffffff}, 0xfffffffe, 2},
        {0xffffffff, {0x00000001, 0x00000001, 0x00000002}, 1, 3},
        {0xffffffff, {0x00000000}, 0, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "n = " << c.n << ", first word " << c.words.front());
        ScriptedWords words(c.words);
        EXPECT_EQ(uniform_below(words, c.n), c.expected);
        EXPECT_EQ(words.consumed(), c.consumed);
    }
}

TEST(UniformBelow, OneRejectsAboutHalfOfAllWords) {
    CountingWords counted(seeded_chacha12(1));
    constexpr int DRAWS = 40000;
    for (int i = 0; i < DRAWS; ++i) {
        ASSERT_EQ(uniform_below(counted, 1), 0u);
    }
    // Words per draw are geometric with mean 2 and variance 2.
    const double mean = 2.0 * DRAWS;
    const double sigma = std::sqrt(2.0 * DRAWS);
    EXPECT_NEAR(static_cast<double>(counted.consumed()), mean, 5 * sigma);
}

TEST(UniformBelow, HitsEveryValueOfASmallRangeEquallyOften) {
    auto rng = seeded_chacha12(2);
    constexpr std::uint32_t N = 7;
    constexpr int DRAWS = 70000;
    std::array<int, N> counts{};
    for (int i = 0; i < DRAWS; ++i) {
        const std::uint32_t k = uniform_below(rng, N);
        ASSERT_LT(k, N);
        ++counts[k];
    }
    const double expected = static_cast<double>(DRAWS) / N;
    const double sigma = std::sqrt(DRAWS * (1.0 / N) * (1.0 - 1.0 / N));
    for (std::uint32_t k = 0; k < N; ++k) {
        EXPECT_NEAR(counts[k], expected, 5 * sigma) << "value " << k;
    }
}

TEST(Shuffle, DrawsOnceForEveryPositionFromTheLastDownToOne) {
    // The word 0 draws 0 for every bound, so each position j is swapped with position 0.
    std::vector<int> items = {0, 1, 2, 3, 4};
    ScriptedWords zeros(std::vector<std::uint32_t>(4, 0));
    shuffle(zeros, std::span<int>(items));
    EXPECT_EQ(zeros.consumed(), 4u);
    // j = 4: swap(4, 0) -> 4 1 2 3 0; j = 3: swap(3, 0) -> 3 1 2 4 0; j = 2 -> 2 1 3 4 0;
    // j = 1 -> 1 2 3 4 0.
    EXPECT_EQ(items, (std::vector<int>{1, 2, 3, 4, 0}));
}

TEST(Shuffle, TakesTheDrawnPositionForEachSwap) {
    // j = 2 draws from 3 values, j = 1 from 2. Word 0xaaaaaaab gives 2 for n = 3 (no swap);
    // word 0x80000000 gives 1 for n = 2 (no swap): identity. Then 0x55555556 (1 for n = 3)
    // and 0 (0 for n = 2): swap(2, 1) then swap(1, 0).
    std::vector<char> items = {'a', 'b', 'c'};
    ScriptedWords identity({0xaaaaaaab, 0x80000000});
    shuffle(identity, std::span<char>(items));
    EXPECT_EQ(items, (std::vector<char>{'a', 'b', 'c'}));
    ScriptedWords rotate({0x55555556, 0x00000000});
    shuffle(rotate, std::span<char>(items));
    EXPECT_EQ(items, (std::vector<char>{'c', 'a', 'b'}));
}

TEST(Shuffle, ARejectedWordSwapsNothingAndTheNextWordDrawsForTheSamePosition) {
    // j = 2 (n = 3): 0x40000000 lands one past the zone with high half 0, then 0x55555556
    // gives 1: swap(2, 1). j = 1 (n = 2): 0xc0000000 is rejected with high half 1, then
    // 0x80000000 gives 1: no swap. Swapping on the rejected words would give c a b.
    std::vector<char> items = {'a', 'b', 'c'};
    ScriptedWords words({0x40000000, 0x55555556, 0xc0000000, 0x80000000});
    shuffle(words, std::span<char>(items));
    EXPECT_EQ(items, (std::vector<char>{'a', 'c', 'b'}));
    EXPECT_EQ(words.consumed(), 4u);
}

TEST(Shuffle, ListsOfNoneOrOneEntryDrawNothing) {
    ScriptedWords no_words({});
    std::vector<int> empty;
    shuffle(no_words, std::span<int>(empty));
    std::vector<int> one = {42};
    shuffle(no_words, std::span<int>(one));
    EXPECT_EQ(no_words.consumed(), 0u);
    EXPECT_EQ(one, std::vector<int>{42});
}

TEST(Shuffle, GivesAllSixOrdersOfThreeEntriesEquallyOften) {
    auto rng = seeded_chacha12(3);
    constexpr int SHUFFLES = 60000;
    std::map<std::array<int, 3>, int> counts;
    for (int i = 0; i < SHUFFLES; ++i) {
        std::array<int, 3> items = {0, 1, 2};
        shuffle(rng, std::span<int>(items));
        ++counts[items];
    }
    ASSERT_EQ(counts.size(), 6u);
    const double expected = SHUFFLES / 6.0;
    const double sigma = std::sqrt(SHUFFLES * (1.0 / 6) * (5.0 / 6));
    for (const auto& [order, count] : counts) {
        EXPECT_NEAR(count, expected, 5 * sigma) << order[0] << order[1] << order[2];
    }
}

TEST(WordCursor, ReadsABufferedSourceInPlaceAsWordByWordReadingWould) {
    // The same stream, read in place and through a wrapper that hands out one word per call.
    // Shuffles of every length from 0 to 150 (several refills each at the end) and single
    // draws between them; the two must agree on every result and stop at the same word.
    ChaCha12Rng in_place = seeded_chacha12(4);
    CountingWords word_by_word(seeded_chacha12(4));
    for (std::uint32_t size = 0; size <= 150; ++size) {
        std::vector<std::uint32_t> a(size);
        std::iota(a.begin(), a.end(), 0u);
        std::vector<std::uint32_t> b = a;
        shuffle(in_place, std::span<std::uint32_t>(a));
        shuffle(word_by_word, std::span<std::uint32_t>(b));
        ASSERT_EQ(a, b) << "shuffle of " << size;
        ASSERT_EQ(uniform_below(in_place, size + 1), uniform_below(word_by_word, size + 1)) << "after " << size;
        {
            WordCursor<ChaCha12Rng> words(in_place);
            for (std::uint32_t i = 0; i < size % 70; ++i) {
                ASSERT_EQ(words(), word_by_word()) << "cursor word " << i << " after " << size;
            }
        }
    }
    EXPECT_EQ(in_place(), word_by_word());
}

}  // namespace
}  // namespace tavrin
