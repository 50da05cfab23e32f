// ChaCha block function: a portable version working on one 16-word block at a time, and on
// x86 versions that compute the four blocks of a refill in parallel: with SSE2, one block per
// lane, and with AVX2 or AVX-512 in 256-bit registers, two columns at a time. All must produce
// identical words; the tests hold them against each other and against published vectors.
#include "chacha.hpp"

#include <bit>

#ifdef TAVRIN_CHACHA_X86
#include <cpuid.h>
#include <immintrin.h>

#include "sse2.hpp"

// Vector code is compiled for its instruction set alone and reached only after asking the
// processor (SSE2 where the build's target lacks it: see sse2.hpp). GCC applies the attribute
// to plain functions only, so the vector code takes the round count as an argument.
#endif

namespace tavrin {

namespace {


using Block = std::array<std::uint32_t, CHACHA_BLOCK_WORDS>;

constexpr std::uint32_t low_word(std::uint64_t v) { return static_cast<std::uint32_t>(v); }
constexpr std::uint32_t high_word(std::uint64_t v) { return static_cast<std::uint32_t>(v >> 32); }

Block input_block(const ChaChaKey& key, std::uint64_t counter, std::uint64_t stream) {
    Block in{};
    for (std::uint32_t i = 0; i < 4; ++i) {
        in[i] = CHACHA_SIGMA[i];
    }
    for (std::uint32_t i = 0; i < 8; ++i) {
        in[4 + i] = key[i];
    }
    in[12] = low_word(counter);
    in[13] = high_word(counter);
    in[14] = low_word(stream);
    in[15] = high_word(stream);
    return in;
}

inline void quarter_round(Block& x, unsigned a, unsigned b, unsigned c, unsigned d) {
    x[a] += x[b];
    x[d] = std::rotl(x[d] ^ x[a], 16);
    x[c] += x[d];
    x[b] = std::rotl(x[b] ^ x[c], 12);
    x[a] += x[b];
    x[d] = std::rotl(x[d] ^ x[a], 8);
    x[c] += x[d];
    x[b] = std::rotl(x[b] ^ x[c], 7);
}

template <unsigned Rounds>
void block_scalar(const Block& in, std::uint32_t* out) {
    Block x = in;
    for (unsigned round = 0; round < Rounds; round += 2) {
        quarter_round(x, 0, 4, 8, 12);
        quarter_round(x, 1, 5, 9, 13);
        quarter_round(x, 2, 6, 10, 14);
        quarter_round(x, 3, 7, 11, 15);
        quarter_round(x, 0, 5, 10, 15);
        quarter_round(x, 1, 6, 11, 12);
        quarter_round(x, 2, 7, 8, 13);
        quarter_round(x, 3, 4, 9, 14);
    }
    for (std::uint32_t i = 0; i < CHACHA_BLOCK_WORDS; ++i) {
        out[i] = x[i] + in[i];
    }
}

#ifdef TAVRIN_CHACHA_X86

using Lanes = __m128i;

TAVRIN_SSE2_FUNCTION inline Lanes splat(std::uint32_t v) { return _mm_set1_epi32(static_cast<int>(v)); }

TAVRIN_SSE2_FUNCTION inline void quarter_round(Lanes& a, Lanes& b, Lanes& c, Lanes& d) {
    a = _mm_add_epi32(a, b);
    d = sse2_rotl<16>(_mm_xor_si128(d, a));
    c = _mm_add_epi32(c, d);
    b = sse2_rotl<12>(_mm_xor_si128(b, c));
    a = _mm_add_epi32(a, b);
    d = sse2_rotl<8>(_mm_xor_si128(d, a));
    c = _mm_add_epi32(c, d);
    b = sse2_rotl<7>(_mm_xor_si128(b, c));
}

// r[i] holds word `first + i` of blocks 0..3 in its lanes; writes each block's four words in place.
TAVRIN_SSE2_FUNCTION inline void store_transposed(const Lanes* r, std::uint32_t first, std::uint32_t* out) {
    const Lanes t0 = _mm_unpacklo_epi32(r[0], r[1]);
    const Lanes t1 = _mm_unpacklo_epi32(r[2], r[3]);
    const Lanes t2 = _mm_unpackhi_epi32(r[0], r[1]);
    const Lanes t3 = _mm_unpackhi_epi32(r[2], r[3]);
    const Lanes blocks[CHACHA_REFILL_BLOCKS] = {_mm_unpacklo_epi64(t0, t1), _mm_unpackhi_epi64(t0, t1),
                                                _mm_unpacklo_epi64(t2, t3), _mm_unpackhi_epi64(t2, t3)};
    for (std::uint32_t b = 0; b < CHACHA_REFILL_BLOCKS; ++b) {
        _mm_storeu_si128(reinterpret_cast<Lanes*>(out + CHACHA_BLOCK_WORDS * b + first), blocks[b]);
    }
}

// The four blocks of a refill, one block per lane, for an even number of rounds.
TAVRIN_SSE2_FUNCTION void refill_sse2(const ChaChaKey& key, std::uint64_t counter, std::uint64_t stream,
                                      ChaChaRefill& out, unsigned rounds) {
    const Block in = input_block(key, counter, stream);
    Lanes start[CHACHA_BLOCK_WORDS];
    for (std::uint32_t i = 0; i < CHACHA_BLOCK_WORDS; ++i) {
        start[i] = splat(in[i]);
    }
    // Only the counter differs between the four blocks; a carry out of its low word reaches
    // the high word of that block alone.
    std::uint32_t counter_low[CHACHA_REFILL_BLOCKS];
    std::uint32_t counter_high[CHACHA_REFILL_BLOCKS];
    for (std::uint32_t b = 0; b < CHACHA_REFILL_BLOCKS; ++b) {
        counter_low[b] = low_word(counter + b);
        counter_high[b] = high_word(counter + b);
    }
    start[12] = _mm_loadu_si128(reinterpret_cast<const Lanes*>(counter_low));
    start[13] = _mm_loadu_si128(reinterpret_cast<const Lanes*>(counter_high));

    Lanes x[CHACHA_BLOCK_WORDS];
    for (std::uint32_t i = 0; i < CHACHA_BLOCK_WORDS; ++i) {
        x[i] = start[i];
    }
    for (unsigned round = 0; round < rounds; round += 2) {
        quarter_round(x[0], x[4], x[8], x[12]);
        quarter_round(x[1], x[5], x[9], x[13]);
        quarter_round(x[2], x[6], x[10], x[14]);
        quarter_round(x[3], x[7], x[11], x[15]);
        quarter_round(x[0], x[5], x[10], x[15]);
        quarter_round(x[1], x[6], x[11], x[12]);
        quarter_round(x[2], x[7], x[8], x[13]);
        quarter_round(x[3], x[4], x[9], x[14]);
    }
    for (std::uint32_t i = 0; i < CHACHA_BLOCK_WORDS; ++i) {
        x[i] = _mm_add_epi32(x[i], start[i]);
    }
    for (std::uint32_t first = 0; first < CHACHA_BLOCK_WORDS; first += 4) {
        store_transposed(x + first, first, out.data());
    }
}

using Wide = __m256i;

namespace avx2 {
#define TAVRIN_WIDE_FUNCTION __attribute__((target("avx2")))

// AVX2 has no rotation: 16 and 8 bits move whole bytes, one byte shuffle; the others take two
// shifts.
template <int N>
TAVRIN_WIDE_FUNCTION inline Wide rotl(Wide v) {
    if constexpr (N == 16) {
        return _mm256_shuffle_epi8(v, _mm256_setr_epi8(2, 3, 0, 1, 6, 7, 4, 5, 10, 11, 8, 9, 14, 15, 12, 13, 2, 3,
                                                       0, 1, 6, 7, 4, 5, 10, 11, 8, 9, 14, 15, 12, 13));
    } else if constexpr (N == 8) {
        return _mm256_shuffle_epi8(v, _mm256_setr_epi8(3, 0, 1, 2, 7, 4, 5, 6, 11, 8, 9, 10, 15, 12, 13, 14, 3, 0,
                                                       1, 2, 7, 4, 5, 6, 11, 8, 9, 10, 15, 12, 13, 14));
    } else {
        return _mm256_or_si256(_mm256_slli_epi32(v, N), _mm256_srli_epi32(v, 32 - N));
    }
}

#include "chacha_wide.inc"
#undef TAVRIN_WIDE_FUNCTION
}  // namespace avx2

namespace avx512vl {
#define TAVRIN_WIDE_FUNCTION __attribute__((target("avx2,avx512f,avx512vl")))

template <int N>
TAVRIN_WIDE_FUNCTION inline Wide rotl(Wide v) {
    return _mm256_rol_epi32(v, N);
}

#include "chacha_wide.inc"
#undef TAVRIN_WIDE_FUNCTION
}  // namespace avx512vl

// XCR0: which register states the operating system saves on a switch.
std::uint64_t saved_register_states() noexcept {
    std::uint32_t low = 0;
    std::uint32_t high = 0;
    __asm__("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
    return (std::uint64_t{high} << 32) | low;
}

// SSE and the upper halves of the 256-bit registers; then the AVX-512 mask registers and the
// upper halves and the upper sixteen of the 512-bit ones.
constexpr std::uint64_t YMM_STATES = 0x06;
constexpr std::uint64_t ZMM_STATES = 0xE6;

struct InstructionSets {
    bool sse2 = false;
    bool avx2 = false;
    bool avx512vl = false;
};

const InstructionSets& processor_sets() noexcept {
    static const InstructionSets sets = [] {
        InstructionSets found;
        unsigned eax = 0;
        unsigned ebx = 0;
        unsigned ecx = 0;
        unsigned edx = 0;
        if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) {
            return found;
        }
        found.sse2 = (edx & bit_SSE2) != 0;
        if ((ecx & bit_OSXSAVE) == 0 || (ecx & bit_AVX) == 0) {
            return found;
        }
        const std::uint64_t saved = saved_register_states();
        if ((saved & YMM_STATES) != YMM_STATES || __get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) == 0) {
            return found;
        }
        found.avx2 = (ebx & bit_AVX2) != 0;
        found.avx512vl = found.avx2 && (saved & ZMM_STATES) == ZMM_STATES && (ebx & bit_AVX512F) != 0 &&
                         (ebx & bit_AVX512VL) != 0;
        return found;
    }();
    return sets;
}

using VectorRefill = void (*)(const ChaChaKey&, std::uint64_t, std::uint64_t, ChaChaRefill&, unsigned);

// The fastest vector path of this processor, or null for the portable one.
VectorRefill fastest_vector_refill() noexcept {
    static const VectorRefill chosen = []() -> VectorRefill {
        if (processor_has_avx512vl()) {
            return &avx512vl::refill;
        }
        if (processor_has_avx2()) {
            return &avx2::refill;
        }
        if (processor_has_sse2()) {
            return &refill_sse2;
        }
        return nullptr;
    }();
    return chosen;
}

#endif

}  // namespace

template <unsigned Rounds>
void chacha_refill_scalar(const ChaChaKey& key, std::uint64_t counter, std::uint64_t stream,
                          ChaChaRefill& out) {
    static_assert(Rounds % 2 == 0, "ChaCha rounds come in column/diagonal pairs");
    for (std::uint32_t b = 0; b < CHACHA_REFILL_BLOCKS; ++b) {
        block_scalar<Rounds>(input_block(key, counter + b, stream), out.data() + CHACHA_BLOCK_WORDS * b);
    }
}

#ifdef TAVRIN_CHACHA_X86

template <unsigned Rounds>
void chacha_refill_sse2(const ChaChaKey& key, std::uint64_t counter, std::uint64_t stream, ChaChaRefill& out) {
    static_assert(Rounds % 2 == 0, "ChaCha rounds come in column/diagonal pairs");
    refill_sse2(key, counter, stream, out, Rounds);
}

template <unsigned Rounds>
void chacha_refill_avx2(const ChaChaKey& key, std::uint64_t counter, std::uint64_t stream, ChaChaRefill& out) {
    static_assert(Rounds % 2 == 0, "ChaCha rounds come in column/diagonal pairs");
    avx2::refill(key, counter, stream, out, Rounds);
}

template <unsigned Rounds>
void chacha_refill_avx512vl(const ChaChaKey& key, std::uint64_t counter, std::uint64_t stream,
                            ChaChaRefill& out) {
    static_assert(Rounds % 2 == 0, "ChaCha rounds come in column/diagonal pairs");
    avx512vl::refill(key, counter, stream, out, Rounds);
}

bool processor_has_sse2() noexcept {
#ifdef __SSE2__
    return true;
#else
    return processor_sets().sse2;
#endif
}

bool processor_has_avx2() noexcept { return processor_sets().avx2; }

bool processor_has_avx512vl() noexcept { return processor_sets().avx512vl; }

#endif

template <unsigned Rounds>
void chacha_refill(const ChaChaKey& key, std::uint64_t counter, std::uint64_t stream, ChaChaRefill& out) {
#ifdef TAVRIN_CHACHA_X86
    if (const VectorRefill refill = fastest_vector_refill()) {
        refill(key, counter, stream, out, Rounds);
        return;
    }
#endif
    chacha_refill_scalar<Rounds>(key, counter, stream, out);
}

std::span<const ChaChaPath> chacha_paths() noexcept {
    struct Paths {
        std::array<ChaChaPath, 4> entries{};
        std::size_t count = 0;
        void add(const char* name, ChaChaRefillFunction refill) noexcept { entries[count++] = {name, refill}; }
    };
    static const Paths paths = [] {
        Paths found;
#ifdef TAVRIN_CHACHA_X86
        if (processor_has_avx512vl()) {
            found.add("avx512", &chacha_refill_avx512vl<12>);
        }
        if (processor_has_avx2()) {
            found.add("avx2", &chacha_refill_avx2<12>);
        }
        if (processor_has_sse2()) {
            found.add("sse2", &chacha_refill_sse2<12>);
        }
#endif
        found.add("scalar", &chacha_refill_scalar<12>);
        return found;
    }();
    return {paths.entries.data(), paths.count};
}

template void chacha_refill<12>(const ChaChaKey&, std::uint64_t, std::uint64_t, ChaChaRefill&);
template void chacha_refill<20>(const ChaChaKey&, std::uint64_t, std::uint64_t, ChaChaRefill&);
template void chacha_refill_scalar<12>(const ChaChaKey&, std::uint64_t, std::uint64_t, ChaChaRefill&);
template void chacha_refill_scalar<20>(const ChaChaKey&, std::uint64_t, std::uint64_t, ChaChaRefill&);
#ifdef TAVRIN_CHACHA_X86
template void chacha_refill_sse2<12>(const ChaChaKey&, std::uint64_t, std::uint64_t, ChaChaRefill&);
template void chacha_refill_sse2<20>(const ChaChaKey&, std::uint64_t, std::uint64_t, ChaChaRefill&);
template void chacha_refill_avx2<12>(const ChaChaKey&, std::uint64_t, std::uint64_t, ChaChaRefill&);
template void chacha_refill_avx2<20>(const ChaChaKey&, std::uint64_t, std::uint64_t, ChaChaRefill&);
template void chacha_refill_avx512vl<12>(const ChaChaKey&, std::uint64_t, std::uint64_t, ChaChaRefill&);
template void chacha_refill_avx512vl<20>(const ChaChaKey&, std::uint64_t, std::uint64_t, ChaChaRefill&);
#endif

}  // namespace tavrin
