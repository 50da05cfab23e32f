// Word sources for tests of the draws: a scripted list of words that fails loudly when a draw
// wants more than the script holds, and a wrapper that counts the words another source gives.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <utility>
#include <vector>

#include "draws.hpp"
#include "rng.hpp"

namespace tavrin::testing_support {

class ScriptedWords : public WordSourceBase {
public:

    explicit ScriptedWords(std::vector<std::uint32_t> words) : words_(std::move(words)) {}

    result_type operator()() {
        if (next_ == words_.size()) {
            throw std::out_of_range("the scripted words are used up");
        }
        return words_[next_++];
    }

    std::size_t consumed() const { return next_; }

private:
    std::vector<std::uint32_t> words_;
    std::size_t next_ = 0;
};

template <WordSource G>
class CountingWords : public WordSourceBase {
public:

    explicit CountingWords(G source) : source_(std::move(source)) {}

    result_type operator()() {
        ++consumed_;
        return source_();
    }

    std::uint64_t consumed() const { return consumed_; }

private:
    G source_;
    std::uint64_t consumed_ = 0;
};

// Always the word 0, which every uniform draw accepts: one word per draw.
struct ZeroWords : WordSourceBase {
    result_type operator()() { return 0; }
};

inline ChaCha12Rng seeded_chacha12(std::uint32_t seed) { return ChaCha12Rng(ChaChaKey{seed, 0x5eed}); }

}  // namespace tavrin::testing_support
