// The per-thread generator: its generator contract, the reseed after 64 KiB (also inside a
// cursor's run), a failed seeding that repeats no word, the fresh key in a forked child, one
// generator per thread, and the getrandom loop with its failures.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "draws.hpp"
#include "fatal.hpp"
#include "rng.hpp"

namespace tavrin {
namespace {

static_assert(std::uniform_random_bit_generator<ThreadRng>);
static_assert(WordSource<ThreadRng>);
static_assert(BufferedWordSource<ThreadRng>, "a shuffle must read the generator's buffer in place");
static_assert(ThreadRng::REFILLS_PER_SEED * CHACHA_REFILL_WORDS * 4 == 64 * 1024);

// Hands out the keys {1}, {2}, {3}, ... so that every seeding is visible in the words.
std::uint32_t next_key_number = 0;
void numbered_keys(ChaChaKey& key) { key = ChaChaKey{++next_key_number}; }

TEST(ThreadRng, TakesAFreshKeyOnceSixtyFourKibibytesAreProduced) {
    next_key_number = 0;
    ThreadRng rng(&numbered_keys);
    EXPECT_EQ(rng.seedings(), 0u);
    ChaCha12Rng first_key(ChaChaKey{1});
    constexpr std::uint32_t WORDS_PER_SEED = 64 * 1024 / 4;
    for (std::uint32_t i = 0; i < WORDS_PER_SEED; ++i) {
        ASSERT_EQ(rng(), first_key()) << "word " << i;
    }
    EXPECT_EQ(rng.seedings(), 1u);
    ChaCha12Rng second_key(ChaChaKey{2});
    for (std::uint32_t i = 0; i < 100; ++i) {
        ASSERT_EQ(rng(), second_key()) << "word " << i << " after the reseed";
    }
    EXPECT_EQ(rng.seedings(), 2u);
}

TEST(ThreadRng, ACursorTakesTheFreshKeyAtTheSameWordAndHandsBackItsPlace) {
    next_key_number = 0;
    ThreadRng rng(&numbered_keys);
    ChaCha12Rng first_key(ChaChaKey{1});
    ChaCha12Rng second_key(ChaChaKey{2});
    constexpr std::uint32_t WORDS_PER_SEED = 64 * 1024 / 4;
    ASSERT_EQ(rng(), first_key());
    {
        WordCursor<ThreadRng> words(rng);
        for (std::uint32_t i = 1; i < WORDS_PER_SEED; ++i) {
            ASSERT_EQ(words(), first_key()) << "word " << i;
        }
        for (std::uint32_t i = 0; i < 10; ++i) {
            ASSERT_EQ(words(), second_key()) << "word " << i << " after the reseed";
        }
    }
    EXPECT_EQ(rng(), second_key()) << "the generator did not continue after the cursor's last word";
    EXPECT_EQ(rng.seedings(), 2u);
}

// Fails on its second call, then hands out the keys {3}, {4}, ...
int keys_taken = 0;
void second_seeding_fails(ChaChaKey& key) {
    if (++keys_taken == 2) {
        throw std::runtime_error("no entropy");
    }
    key = ChaChaKey{static_cast<std::uint32_t>(keys_taken)};
}

TEST(ThreadRng, AFailedSeedingInsideACursorRepeatsNoWord) {
    keys_taken = 0;
    ThreadRng rng(&second_seeding_fails);
    ChaCha12Rng first_key(ChaChaKey{1});
    constexpr std::uint32_t WORDS_PER_SEED = 64 * 1024 / 4;
    // The cursor starts past the first word, so a cursor that kept its place to itself on the
    // failure would leave the generator to hand out the last buffer again.
    ASSERT_EQ(rng(), first_key());
    const auto read_past_the_first_key = [&] {
        WordCursor<ThreadRng> words(rng);
        for (std::uint32_t i = 1; i < WORDS_PER_SEED; ++i) {
            ASSERT_EQ(words(), first_key());
        }
        words();
    };
    EXPECT_THROW(read_past_the_first_key(), std::runtime_error);
    // The first key's words are all used: the next word comes from a fresh key.
    EXPECT_EQ(rng(), ChaCha12Rng(ChaChaKey{3})());
    EXPECT_EQ(rng.seedings(), 2u);
}

TEST(ThreadRng, InvalidatedGeneratorDropsItsBufferAndTakesAFreshKey) {
    next_key_number = 0;
    ThreadRng rng(&numbered_keys);
    ChaCha12Rng first_key(ChaChaKey{1});
    for (int i = 0; i < 10; ++i) {
        ASSERT_EQ(rng(), first_key());
    }
    rng.invalidate();
    ChaCha12Rng second_key(ChaChaKey{2});
    for (int i = 0; i < 10; ++i) {
        ASSERT_EQ(rng(), second_key());
    }
    EXPECT_EQ(rng.seedings(), 2u);
}

TEST(ThreadRng, ForkedChildDrawsOtherWordsThanItsParent) {
    constexpr std::size_t WORDS = 8;
    ThreadRng& rng = thread_rng();
    rng();  // the parent now holds buffered words that a careless child would repeat
    int pipe_ends[2];
    ASSERT_EQ(::pipe(pipe_ends), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::array<std::uint32_t, WORDS> words{};
        for (auto& word : words) {
            word = thread_rng()();
        }
        const bool written = ::write(pipe_ends[1], words.data(), sizeof words) == static_cast<ssize_t>(sizeof words);
        ::_exit(written ? 0 : 1);
    }
    ::close(pipe_ends[1]);
    std::array<std::uint32_t, WORDS> parent_words{};
    for (auto& word : parent_words) {
        word = rng();
    }
    std::array<std::uint32_t, WORDS> child_words{};
    const ssize_t got = ::read(pipe_ends[0], child_words.data(), sizeof child_words);
    ::close(pipe_ends[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    ASSERT_EQ(got, static_cast<ssize_t>(sizeof child_words));
    int equal = 0;
    for (std::size_t i = 0; i < WORDS; ++i) {
        equal += parent_words[i] == child_words[i] ? 1 : 0;
    }
    EXPECT_EQ(equal, 0) << "the child repeated its parent's words";
}

TEST(ThreadRng, EveryThreadHasItsOwnGeneratorAndKey) {
    std::vector<std::uint32_t> words(4);
    std::vector<const ThreadRng*> generators(4);
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < words.size(); ++t) {
        threads.emplace_back([t, &words, &generators] {
            generators[t] = &thread_rng();
            words[t] = thread_rng()();
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    for (std::size_t a = 0; a < words.size(); ++a) {
        for (std::size_t b = a + 1; b < words.size(); ++b) {
            EXPECT_NE(generators[a], generators[b]);
            EXPECT_NE(words[a], words[b]) << "threads " << a << " and " << b << " share a key";
        }
    }
}

// A getrandom stand-in that plays a script of results: a positive number hands out that many
// bytes (counting up from 1), a negative one fails with that errno.
std::vector<int> script;
std::size_t script_next = 0;
std::uint8_t next_byte = 0;
ssize_t scripted_getrandom(void* buffer, std::size_t length, unsigned int) {
    const int step = script.at(script_next++);
    if (step < 0) {
        errno = -step;
        return -1;
    }
    const std::size_t count = std::min(length, static_cast<std::size_t>(step));
    auto* out = static_cast<std::uint8_t*>(buffer);
    for (std::size_t i = 0; i < count; ++i) {
        out[i] = ++next_byte;
    }
    return static_cast<ssize_t>(count);
}

void play(std::vector<int> steps) {
    script = std::move(steps);
    script_next = 0;
    next_byte = 0;
}

TEST(ReadEntropy, RetriesAfterInterruptionsAndShortReads) {
    play({-EINTR, 5, -EINTR, 3, 100});
    std::array<std::uint8_t, 32> bytes{};
    read_entropy(bytes.data(), bytes.size(), &scripted_getrandom);
    EXPECT_EQ(script_next, script.size());
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        EXPECT_EQ(bytes[i], i + 1) << "byte " << i;
    }
}

TEST(ReadEntropy, OtherFailuresAreFatalAndNameGetrandom) {
    struct Case {
        std::vector<int> steps;
        std::string message;
    };
    const Case cases[] = {
        {{-ENOSYS}, std::string(GETRANDOM_FAILED) + std::strerror(ENOSYS)},
        {{4, -EINTR, -EFAULT}, std::string(GETRANDOM_FAILED) + std::strerror(EFAULT)},
        {{0}, std::string(GETRANDOM_FAILED) + "returned no bytes"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        play(c.steps);
        std::array<std::uint8_t, 32> bytes{};
        try {
            read_entropy(bytes.data(), bytes.size(), &scripted_getrandom);
            ADD_FAILURE() << "no failure";
        } catch (const FatalError& error) {
            EXPECT_EQ(error.message(), c.message);
        }
        EXPECT_EQ(script_next, c.steps.size());
    }
}

TEST(ReadEntropy, OperatingSystemKeysDiffer) {
    ChaChaKey a{};
    ChaChaKey b{};
    read_os_entropy(a);
    read_os_entropy(b);
    EXPECT_NE(a, b);
}

}  // namespace
}  // namespace tavrin
