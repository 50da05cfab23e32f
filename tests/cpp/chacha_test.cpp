// The ChaCha block function and the deterministic generator over it: published known-answer
// vectors for 12 and 20 rounds on every path the processor can execute, the counter's carry and
// wrap, the paths against each other, and the generator's word order across refills.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <random>
#include <vector>

#include "chacha.hpp"
#include "draws.hpp"
#include "rng.hpp"

namespace tavrin {
namespace {

constexpr ChaChaKey ZERO_KEY{};

// All-zero key, counter 0, stream 0, 12 rounds: the first block and the start of the second.
constexpr std::array<std::uint32_t, 16> ZERO_KEY_12_BLOCK_0 = {
    0x6a9af49b, 0x53f95507, 0x12ce1f81, 0xd583265f, 0xbbc32904, 0x1474e049, 0xa589007e, 0x5f15ae2e,
    0x79f86405, 0xc0e37ad2, 0x3428e82c, 0x798cfaac, 0x2c9f623a, 0x1969dea0, 0x2fe80b61, 0xbe261341};
constexpr std::array<std::uint32_t, 4> ZERO_KEY_12_BLOCK_1_START = {0x4188d50b, 0xfe743e20, 0x3371fc86,
                                                                    0x3d17e08c};

// All-zero key, counter 0, stream 0, 20 rounds: the first eight words.
constexpr std::array<std::uint32_t, 8> ZERO_KEY_20_BLOCK_0_START = {
    0xade0b876, 0x903df1a0, 0xe56a5d40, 0x28bd8653, 0xb819d2bd, 0x1aed8da0, 0xccef36a8, 0xc70d778b};

// All-zero key, 20 rounds, block counter 2^32 (the first block after the low counter word wraps).
constexpr std::array<std::uint32_t, 4> ZERO_KEY_20_BLOCK_2_POW_32_START = {0x3a1db43d, 0x2829d3a0,
                                                                           0x25f2e65d, 0xd54be2e6};

// RFC 7539 section 2.3.2: key 00 01 .. 1f; state words 12..15 = 1, 0x09000000, 0x4a000000, 0.
constexpr ChaChaKey RFC_KEY = {0x03020100, 0x07060504, 0x0b0a0908, 0x0f0e0d0c,
                               0x13121110, 0x17161514, 0x1b1a1918, 0x1f1e1d1c};
constexpr std::uint64_t RFC_COUNTER = 0x09000000'00000001;
constexpr std::uint64_t RFC_STREAM = 0x4a000000;
constexpr std::array<std::uint32_t, 16> RFC_BLOCK = {
    0xe4e7f110, 0x15593bd1, 0x1fdd0f50, 0xc47120a3, 0xc7f4d1c7, 0x0368c033, 0x9aaa2204, 0x4e6cd4c3,
    0x466482d2, 0x09aa9f07, 0x05d7c214, 0xa2028bd9, 0xd19c12b5, 0xb94e16de, 0xe883d0cb, 0x4e3c50a2};

using RefillFunction = void (*)(const ChaChaKey&, std::uint64_t, std::uint64_t, ChaChaRefill&);

struct Implementation {
    const char* name;
    RefillFunction rounds12;
    RefillFunction rounds20;
};

std::vector<Implementation> implementations() {
    std::vector<Implementation> all = {
        {"dispatched", &chacha_refill<12>, &chacha_refill<20>},
        {"scalar", &chacha_refill_scalar<12>, &chacha_refill_scalar<20>},
    };
#ifdef TAVRIN_CHACHA_X86
    // Every path this processor can execute; the dispatched one is one of them.
    if (processor_has_sse2()) {
        all.push_back({"sse2", &chacha_refill_sse2<12>, &chacha_refill_sse2<20>});
    }
    if (processor_has_avx2()) {
        all.push_back({"avx2", &chacha_refill_avx2<12>, &chacha_refill_avx2<20>});
    }
    if (processor_has_avx512vl()) {
        all.push_back({"avx512vl", &chacha_refill_avx512vl<12>, &chacha_refill_avx512vl<20>});
    }
#endif
    return all;
}

template <std::size_t N>
void expect_words_at(const ChaChaRefill& out, std::size_t first, const std::array<std::uint32_t, N>& expected) {
    for (std::size_t i = 0; i < N; ++i) {
        EXPECT_EQ(out[first + i], expected[i]) << "word " << first + i;
    }
}

TEST(ChaCha, TwelveRoundsMatchTheZeroKeyVector) {
    for (const auto& impl : implementations()) {
        SCOPED_TRACE(impl.name);
        ChaChaRefill out{};
        impl.rounds12(ZERO_KEY, 0, 0, out);
        expect_words_at(out, 0, ZERO_KEY_12_BLOCK_0);
        expect_words_at(out, CHACHA_BLOCK_WORDS, ZERO_KEY_12_BLOCK_1_START);
    }
}

TEST(ChaCha, TwentyRoundsMatchTheZeroKeyVector) {
    for (const auto& impl : implementations()) {
        SCOPED_TRACE(impl.name);
        ChaChaRefill out{};
        impl.rounds20(ZERO_KEY, 0, 0, out);
        expect_words_at(out, 0, ZERO_KEY_20_BLOCK_0_START);
    }
}

TEST(ChaCha, TwentyRoundsMatchTheRfc7539BlockVector) {
    for (const auto& impl : implementations()) {
        SCOPED_TRACE(impl.name);
        ChaChaRefill out{};
        impl.rounds20(RFC_KEY, RFC_COUNTER, RFC_STREAM, out);
        expect_words_at(out, 0, RFC_BLOCK);
    }
}

TEST(ChaCha, CounterCarriesIntoItsHighWordWithinOneRefill) {
    for (const auto& impl : implementations()) {
        SCOPED_TRACE(impl.name);
        ChaChaRefill out{};
        impl.rounds20(ZERO_KEY, (std::uint64_t{1} << 32) - 2, 0, out);
        expect_words_at(out, 2 * CHACHA_BLOCK_WORDS, ZERO_KEY_20_BLOCK_2_POW_32_START);
    }
}

TEST(ChaCha, EveryBlockOfARefillIsTheFirstBlockAtItsOwnCounter) {
    // Includes refills that cross the low word's wrap and the counter's wrap at 2^64.
    const std::uint64_t starts[] = {0, 7, (std::uint64_t{1} << 32) - 3, UINT64_MAX - 1, UINT64_MAX};
    const ChaChaKey key = {1, 2, 3, 4, 5, 6, 7, 8};
    for (const auto& impl : implementations()) {
        for (const std::uint64_t start : starts) {
            SCOPED_TRACE(::testing::Message() << impl.name << " from counter " << start);
            ChaChaRefill refill{};
            impl.rounds12(key, start, 99, refill);
            for (std::uint32_t b = 1; b < CHACHA_REFILL_BLOCKS; ++b) {
                ChaChaRefill alone{};
                impl.rounds12(key, start + b, 99, alone);
                for (std::uint32_t i = 0; i < CHACHA_BLOCK_WORDS; ++i) {
                    EXPECT_EQ(refill[CHACHA_BLOCK_WORDS * b + i], alone[i]) << "block " << b << " word " << i;
                }
            }
        }
    }
}

TEST(ChaCha, EveryPathGivesTheScalarWordsAlsoAcrossCounterCarries) {
    const std::vector<Implementation> paths = implementations();
    if (paths.size() < 3) {
        GTEST_SKIP() << "this processor runs only the scalar path";
    }
    // Refills that start on, just before and just after the low word's carry and the wrap at 2^64,
    // then random counters.
    std::vector<std::uint64_t> counters;
    for (const std::uint64_t edge : {std::uint64_t{1} << 32, std::uint64_t{0}}) {
        for (std::uint64_t offset = 0; offset <= CHACHA_REFILL_BLOCKS; ++offset) {
            counters.push_back(edge - offset);
        }
    }
    std::mt19937_64 inputs(2024);
    while (counters.size() < 200) {
        counters.push_back(inputs());
    }
    for (const std::uint64_t counter : counters) {
        ChaChaKey key{};
        for (auto& word : key) {
            word = static_cast<std::uint32_t>(inputs());
        }
        const std::uint64_t stream = inputs();
        ChaChaRefill scalar12{};
        ChaChaRefill scalar20{};
        chacha_refill_scalar<12>(key, counter, stream, scalar12);
        chacha_refill_scalar<20>(key, counter, stream, scalar20);
        for (const auto& impl : paths) {
            ChaChaRefill words{};
            impl.rounds12(key, counter, stream, words);
            ASSERT_EQ(words, scalar12) << impl.name << ", 12 rounds, counter " << counter;
            impl.rounds20(key, counter, stream, words);
            ASSERT_EQ(words, scalar20) << impl.name << ", 20 rounds, counter " << counter;
        }
    }
}

static_assert(std::uniform_random_bit_generator<ChaCha12Rng>);
static_assert(WordSource<ChaCha12Rng>);
static_assert(WordSource<ChaCha20Rng>);

TEST(ChaChaRng, HandsOutTheBlockWordsInOrder) {
    ChaCha12Rng rng(ZERO_KEY);
    for (std::size_t i = 0; i < ZERO_KEY_12_BLOCK_0.size(); ++i) {
        EXPECT_EQ(rng(), ZERO_KEY_12_BLOCK_0[i]) << "word " << i;
    }
    for (std::size_t i = 0; i < ZERO_KEY_12_BLOCK_1_START.size(); ++i) {
        EXPECT_EQ(rng(), ZERO_KEY_12_BLOCK_1_START[i]) << "word " << 16 + i;
    }
}

TEST(ChaChaRng, SeeksToAnyPositionItReported) {
    const ChaChaKey key = {1, 2, 3, 4, 5, 6, 7, 8};
    ChaCha12Rng reference(key, 3);
    std::vector<std::uint32_t> words;
    std::vector<std::uint64_t> positions;
    for (int i = 0; i < 200; ++i) {
        positions.push_back(reference.position());
        words.push_back(reference());
    }
    for (const std::size_t at : std::array<std::size_t, 7>{0, 1, 63, 64, 65, 128, 150}) {
        EXPECT_EQ(positions[at], std::uint64_t{at});
        ChaCha12Rng rng(key, 3);
        rng.seek(positions[at]);
        EXPECT_EQ(rng.position(), std::uint64_t{at});
        for (std::size_t i = at; i < words.size(); ++i) {
            ASSERT_EQ(rng(), words[i]) << "word " << i << " after seeking to " << at;
        }
    }
}

TEST(ChaChaRng, ContinuesWithTheNextFourBlocksAcrossARefill) {
    const ChaChaKey key = {9, 8, 7, 6, 5, 4, 3, 2};
    ChaChaRng<20> rng(key, 5);
    ChaChaRefill first{};
    ChaChaRefill second{};
    ChaChaRefill third{};
    chacha_refill<20>(key, 0, 5, first);
    chacha_refill<20>(key, 4, 5, second);
    chacha_refill<20>(key, 8, 5, third);
    for (const auto* refill : {&first, &second, &third}) {
        for (std::uint32_t i = 0; i < CHACHA_REFILL_WORDS; ++i) {
            ASSERT_EQ(rng(), (*refill)[i]) << "word " << i;
        }
    }
}

TEST(ChaChaRng, KeepsStreamsOfOneKeyApart) {
    ChaCha12Rng stream0(ZERO_KEY, 0);
    ChaCha12Rng stream1(ZERO_KEY, 1);
    int equal = 0;
    for (int i = 0; i < 64; ++i) {
        equal += stream0() == stream1() ? 1 : 0;
    }
    EXPECT_LT(equal, 2);
}

}  // namespace
}  // namespace tavrin
