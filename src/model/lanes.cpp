// The lane engines: the operations of lanes.inc for AVX-512, AVX2 and SSE2, each compiled for its
// instruction set alone and reached only after asking the processor, as the block functions are.
#include "lanes.hpp"

#include <array>
#include <string_view>

#ifdef TAVRIN_CHACHA_X86
#include <cpuid.h>
#include <immintrin.h>

#include "sse2.hpp"
#endif

namespace tavrin {

namespace {

#ifdef TAVRIN_CHACHA_X86

// The float's exponent stands for a 30: a bound below 2^24, converted exactly, comes back as
// itself shifted up to bit 30, half the zone's end (bit 31). A word's low half is then below
// the zone's end exactly when its half, shifted down by one, is below that: both comparands
// fit a signed lane, as the comparisons of SSE2 and AVX2 want.
constexpr std::uint32_t FLOAT_MANTISSA = 0x007FFFFF;
constexpr std::uint32_t FLOAT_BIT_30 = (127 + 30) << 23;

// GCC 12 takes the unspecified upper lanes that its AVX-512 headers start some results from
// for uninitialised values.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
namespace avx512 {
#define TAVRIN_LANE_FUNCTION __attribute__((target("avx512f,avx512cd")))
using V = __m512i;
using Mask = __mmask16;
constexpr std::uint32_t WIDTH = 16;
constexpr std::uint32_t GROUPS = 2;
constexpr std::uint32_t LANES = GROUPS * WIDTH;

TAVRIN_LANE_FUNCTION inline V load(const std::uint32_t* p) { return _mm512_loadu_si512(p); }
TAVRIN_LANE_FUNCTION inline void store(std::uint32_t* p, V v) { _mm512_storeu_si512(p, v); }
TAVRIN_LANE_FUNCTION inline V splat(std::uint32_t v) { return _mm512_set1_epi32(static_cast<int>(v)); }
TAVRIN_LANE_FUNCTION inline V add(V a, V b) { return _mm512_add_epi32(a, b); }
TAVRIN_LANE_FUNCTION inline V bxor(V a, V b) { return _mm512_xor_si512(a, b); }
template <int N>
TAVRIN_LANE_FUNCTION inline V rotl(V v) {
    return _mm512_rol_epi32(v, N);
}
// The odd lanes' products come from the words moved down to the even places.
constexpr Mask ODD = 0xAAAA;
TAVRIN_LANE_FUNCTION inline void multiply(V word, V bound, V& low, V& high) {
    const V even = _mm512_mul_epu32(word, bound);
    const V odd = _mm512_mul_epu32(_mm512_srli_epi64(word, 32), _mm512_srli_epi64(bound, 32));
    low = _mm512_mask_blend_epi32(ODD, even, _mm512_slli_epi64(odd, 32));
    high = _mm512_mask_blend_epi32(ODD, _mm512_srli_epi64(even, 32), odd);
}
TAVRIN_LANE_FUNCTION inline Mask below_zone(V low, V bound) {
    return _mm512_cmplt_epu32_mask(low, _mm512_sllv_epi32(bound, _mm512_lzcnt_epi32(bound)));
}
TAVRIN_LANE_FUNCTION inline Mask equal(V a, V b) { return _mm512_cmpeq_epi32_mask(a, b); }
TAVRIN_LANE_FUNCTION inline Mask greater(V a, V b) { return _mm512_cmpgt_epi32_mask(a, b); }
inline Mask both(Mask a, Mask b) { return static_cast<Mask>(a & b); }
inline Mask either(Mask a, Mask b) { return static_cast<Mask>(a | b); }
inline Mask but_not(Mask a, Mask b) { return static_cast<Mask>(a & ~b); }
inline bool any(Mask m) { return m != 0; }
TAVRIN_LANE_FUNCTION inline V select(Mask m, V yes, V no) { return _mm512_mask_blend_epi32(m, no, yes); }
TAVRIN_LANE_FUNCTION inline V add_where(V a, Mask m, V b) { return _mm512_mask_add_epi32(a, m, a, b); }
TAVRIN_LANE_FUNCTION inline V sub_where(V a, Mask m, V b) { return _mm512_mask_sub_epi32(a, m, a, b); }
TAVRIN_LANE_FUNCTION inline Mask to_mask(V v) { return _mm512_test_epi32_mask(v, v); }
TAVRIN_LANE_FUNCTION inline V from_mask(Mask m) { return _mm512_maskz_set1_epi32(m, -1); }

#include "lanes.inc"
#undef TAVRIN_LANE_FUNCTION
}  // namespace avx512
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

namespace avx2 {
#define TAVRIN_LANE_FUNCTION __attribute__((target("avx2")))
using V = __m256i;
using Mask = __m256i;
constexpr std::uint32_t WIDTH = 8;
constexpr std::uint32_t GROUPS = 2;
constexpr std::uint32_t LANES = GROUPS * WIDTH;

TAVRIN_LANE_FUNCTION inline V load(const std::uint32_t* p) {
    return _mm256_loadu_si256(reinterpret_cast<const V*>(p));
}
TAVRIN_LANE_FUNCTION inline void store(std::uint32_t* p, V v) { _mm256_storeu_si256(reinterpret_cast<V*>(p), v); }
TAVRIN_LANE_FUNCTION inline V splat(std::uint32_t v) { return _mm256_set1_epi32(static_cast<int>(v)); }
TAVRIN_LANE_FUNCTION inline V add(V a, V b) { return _mm256_add_epi32(a, b); }
TAVRIN_LANE_FUNCTION inline V bxor(V a, V b) { return _mm256_xor_si256(a, b); }
// 16 and 8 bits move whole bytes, one byte shuffle; the others take two shifts.
template <int N>
TAVRIN_LANE_FUNCTION inline V rotl(V v) {
    if constexpr (N == 16) {
        return _mm256_shuffle_epi8(v, _mm256_setr_epi8(2, 3, 0, 1, 6, 7, 4, 5, 10, 11, 8, 9, 14, 15, 12, 13, 2, 3, 0,
                                                       1, 6, 7, 4, 5, 10, 11, 8, 9, 14, 15, 12, 13));
    } else if constexpr (N == 8) {
        return _mm256_shuffle_epi8(v, _mm256_setr_epi8(3, 0, 1, 2, 7, 4, 5, 6, 11, 8, 9, 10, 15, 12, 13, 14, 3, 0, 1,
                                                       2, 7, 4, 5, 6, 11, 8, 9, 10, 15, 12, 13, 14));
    } else {
        return _mm256_or_si256(_mm256_slli_epi32(v, N), _mm256_srli_epi32(v, 32 - N));
    }
}
TAVRIN_LANE_FUNCTION inline void multiply(V word, V bound, V& low, V& high) {
    const V even = _mm256_mul_epu32(word, bound);
    const V odd = _mm256_mul_epu32(_mm256_srli_epi64(word, 32), _mm256_srli_epi64(bound, 32));
    low = _mm256_blend_epi32(even, _mm256_slli_epi64(odd, 32), 0xAA);
    high = _mm256_blend_epi32(_mm256_srli_epi64(even, 32), odd, 0xAA);
}
TAVRIN_LANE_FUNCTION inline Mask below_zone(V low, V bound) {
    const V exponent = _mm256_castps_si256(_mm256_cvtepi32_ps(bound));
    const V half_zone = _mm256_cvttps_epi32(_mm256_castsi256_ps(
        _mm256_or_si256(_mm256_and_si256(exponent, splat(FLOAT_MANTISSA)), splat(FLOAT_BIT_30))));
    return _mm256_cmpgt_epi32(half_zone, _mm256_srli_epi32(low, 1));
}
TAVRIN_LANE_FUNCTION inline Mask equal(V a, V b) { return _mm256_cmpeq_epi32(a, b); }
TAVRIN_LANE_FUNCTION inline Mask greater(V a, V b) { return _mm256_cmpgt_epi32(a, b); }
TAVRIN_LANE_FUNCTION inline Mask both(Mask a, Mask b) { return _mm256_and_si256(a, b); }
TAVRIN_LANE_FUNCTION inline Mask either(Mask a, Mask b) { return _mm256_or_si256(a, b); }
TAVRIN_LANE_FUNCTION inline Mask but_not(Mask a, Mask b) { return _mm256_andnot_si256(b, a); }
TAVRIN_LANE_FUNCTION inline bool any(Mask m) { return _mm256_testz_si256(m, m) == 0; }
TAVRIN_LANE_FUNCTION inline V select(Mask m, V yes, V no) { return _mm256_blendv_epi8(no, yes, m); }
TAVRIN_LANE_FUNCTION inline V add_where(V a, Mask m, V b) { return _mm256_add_epi32(a, _mm256_and_si256(m, b)); }
TAVRIN_LANE_FUNCTION inline V sub_where(V a, Mask m, V b) { return _mm256_sub_epi32(a, _mm256_and_si256(m, b)); }
TAVRIN_LANE_FUNCTION inline Mask to_mask(V v) { return v; }
TAVRIN_LANE_FUNCTION inline V from_mask(Mask m) { return m; }

#include "lanes.inc"
#undef TAVRIN_LANE_FUNCTION
}  // namespace avx2

namespace sse2 {
#define TAVRIN_LANE_FUNCTION TAVRIN_SSE2_FUNCTION
using V = __m128i;
using Mask = __m128i;
constexpr std::uint32_t WIDTH = 4;
constexpr std::uint32_t GROUPS = 2;
constexpr std::uint32_t LANES = GROUPS * WIDTH;

TAVRIN_LANE_FUNCTION inline V load(const std::uint32_t* p) { return _mm_loadu_si128(reinterpret_cast<const V*>(p)); }
TAVRIN_LANE_FUNCTION inline void store(std::uint32_t* p, V v) { _mm_storeu_si128(reinterpret_cast<V*>(p), v); }
TAVRIN_LANE_FUNCTION inline V splat(std::uint32_t v) { return _mm_set1_epi32(static_cast<int>(v)); }
TAVRIN_LANE_FUNCTION inline V add(V a, V b) { return _mm_add_epi32(a, b); }
TAVRIN_LANE_FUNCTION inline V bxor(V a, V b) { return _mm_xor_si128(a, b); }
template <int N>
TAVRIN_LANE_FUNCTION inline V rotl(V v) {
    return sse2_rotl<N>(v);
}
TAVRIN_LANE_FUNCTION inline void multiply(V word, V bound, V& low, V& high) {
    const V even = _mm_mul_epu32(word, bound);
    const V odd = _mm_mul_epu32(_mm_srli_epi64(word, 32), _mm_srli_epi64(bound, 32));
    const V low_halves = _mm_set_epi32(0, -1, 0, -1);
    low = _mm_or_si128(_mm_and_si128(even, low_halves), _mm_slli_epi64(odd, 32));
    high = _mm_or_si128(_mm_srli_epi64(even, 32), _mm_andnot_si128(low_halves, odd));
}
TAVRIN_LANE_FUNCTION inline Mask below_zone(V low, V bound) {
    const V exponent = _mm_castps_si128(_mm_cvtepi32_ps(bound));
    const V half_zone = _mm_cvttps_epi32(
        _mm_castsi128_ps(_mm_or_si128(_mm_and_si128(exponent, splat(FLOAT_MANTISSA)), splat(FLOAT_BIT_30))));
    return _mm_cmpgt_epi32(half_zone, _mm_srli_epi32(low, 1));
}
TAVRIN_LANE_FUNCTION inline Mask equal(V a, V b) { return _mm_cmpeq_epi32(a, b); }
TAVRIN_LANE_FUNCTION inline Mask greater(V a, V b) { return _mm_cmpgt_epi32(a, b); }
TAVRIN_LANE_FUNCTION inline Mask both(Mask a, Mask b) { return _mm_and_si128(a, b); }
TAVRIN_LANE_FUNCTION inline Mask either(Mask a, Mask b) { return _mm_or_si128(a, b); }
TAVRIN_LANE_FUNCTION inline Mask but_not(Mask a, Mask b) { return _mm_andnot_si128(b, a); }
TAVRIN_LANE_FUNCTION inline bool any(Mask m) { return _mm_movemask_epi8(m) != 0; }
TAVRIN_LANE_FUNCTION inline V select(Mask m, V yes, V no) {
    return _mm_or_si128(_mm_and_si128(m, yes), _mm_andnot_si128(m, no));
}
TAVRIN_LANE_FUNCTION inline V add_where(V a, Mask m, V b) { return _mm_add_epi32(a, _mm_and_si128(m, b)); }
TAVRIN_LANE_FUNCTION inline V sub_where(V a, Mask m, V b) { return _mm_sub_epi32(a, _mm_and_si128(m, b)); }
TAVRIN_LANE_FUNCTION inline Mask to_mask(V v) { return v; }
TAVRIN_LANE_FUNCTION inline V from_mask(Mask m) { return m; }

#include "lanes.inc"
#undef TAVRIN_LANE_FUNCTION
}  // namespace sse2

// AVX-512's leading-zero count is its CD extension, which every AVX-512 processor so far has.
bool processor_has_avx512cd() noexcept {
    static const bool found = [] {
        unsigned eax = 0;
        unsigned ebx = 0;
        unsigned ecx = 0;
        unsigned edx = 0;
        return processor_has_avx512vl() && __get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) != 0 &&
               (ebx & bit_AVX512CD) != 0;
    }();
    return found;
}

constexpr LaneEngine AVX512 = {"avx512", avx512::LANES, &avx512::lane_blocks, &avx512::lane_turns};
constexpr LaneEngine AVX2 = {"avx2", avx2::LANES, &avx2::lane_blocks, &avx2::lane_turns};
constexpr LaneEngine SSE2 = {"sse2", sse2::LANES, &sse2::lane_blocks, &sse2::lane_turns};

#endif

struct Engines {
    std::array<LaneEngine, 3> entries{};
    std::uint32_t count = 0;
};

// The engines this processor runs, widest first.
const Engines& available() noexcept {
    static const Engines engines = [] {
        Engines found;
#ifdef TAVRIN_CHACHA_X86
        if (processor_has_avx512cd()) {
            found.entries[found.count++] = AVX512;
        }
        if (processor_has_avx2()) {
            found.entries[found.count++] = AVX2;
        }
        if (processor_has_sse2()) {
            found.entries[found.count++] = SSE2;
        }
#endif
        return found;
    }();
    return engines;
}

}  // namespace

LanePlane lane_plane(std::uint32_t passengers, std::uint32_t seats) noexcept {
    const bool shuffles = seats >= 2;
    return {shuffles ? seats : passengers, shuffles ? UINT32_MAX : 0, passengers, passengers == 1 ? 0u : 1u};
}

std::span<const LaneEngine> lane_engines() noexcept {
    const Engines& engines = available();
    return {engines.entries.data(), engines.count};
}

std::span<const LaneEngine> lane_engines(ChaChaRefillFunction refill) noexcept {
    const std::span<const LaneEngine> all = lane_engines();
#ifdef TAVRIN_CHACHA_X86
    // The block function's instruction set and the narrower ones.
    const char* widest = nullptr;
    if (refill == &chacha_refill_avx512vl<12>) {
        widest = "avx512";
    } else if (refill == &chacha_refill_avx2<12>) {
        widest = "avx2";
    } else if (refill == &chacha_refill_sse2<12>) {
        widest = "sse2";
    }
    for (std::size_t i = 0; widest != nullptr && i < all.size(); ++i) {
        if (std::string_view(all[i].name) == widest) {
            return all.subspan(i);
        }
    }
#else
    static_cast<void>(refill);
#endif
    return all.subspan(all.size());
}

}  // namespace tavrin
