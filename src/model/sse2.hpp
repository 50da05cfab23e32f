// What the SSE2 code of the block functions and of the lanes shares (x86 only): the target
// attribute and the rotation of every 32-bit lane.
#pragma once

#include <immintrin.h>

// SSE2 needs no asking where the build's target has it, as on x86-64; a 32-bit build compiles
// the SSE2 code for it alone and reaches it only after asking the processor.
#ifdef __SSE2__
#define TAVRIN_SSE2_FUNCTION
#else
#define TAVRIN_SSE2_FUNCTION __attribute__((target("sse2")))
#endif

namespace tavrin {

// SSE2 has no rotation: two shifts, but for 16 bits, where swapping the 16-bit halves of every
// lane is one shuffle on each half of the register.
template <int N>
TAVRIN_SSE2_FUNCTION inline __m128i sse2_rotl(__m128i v) {
    if constexpr (N == 16) {
        return _mm_shufflehi_epi16(_mm_shufflelo_epi16(v, 0xB1), 0xB1);
    } else {
        return _mm_or_si128(_mm_slli_epi32(v, N), _mm_srli_epi32(v, 32 - N));
    }
}

}  // namespace tavrin
