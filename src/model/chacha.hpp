// The ChaCha block function, four consecutive blocks (64 words) per call. State layout:
// words 0-3 the constant "expand 32-byte k", 4-11 the 256-bit key, 12-13 a 64-bit block
// counter (low word first), 14-15 a 64-bit stream number. The round count is a template
// parameter so that the 20-round published vectors check the same code as the 12 rounds we
// draw with. Output word i of block b is out[16 * b + i]; the counter wraps modulo 2^64.
#pragma once

#include <array>
#include <cstdint>

namespace tavrin {

inline constexpr std::uint32_t CHACHA_BLOCK_WORDS = 16;
inline constexpr std::uint32_t CHACHA_REFILL_BLOCKS = 4;
inline constexpr std::uint32_t CHACHA_REFILL_WORDS = CHACHA_BLOCK_WORDS * CHACHA_REFILL_BLOCKS;

// Little-endian words of the 32-byte key.
using ChaChaKey = std::array<std::uint32_t, 8>;
using ChaChaRefill = std::array<std::uint32_t, CHACHA_REFILL_WORDS>;

// Blocks counter, counter + 1, counter + 2, counter + 3 of the given key and stream. Uses the
// SSE2 implementation where the processor has SSE2 (always on x86-64; on 32-bit x86 decided
// once per process at the first call), the portable one otherwise.
template <unsigned Rounds>
void chacha_refill(const ChaChaKey& key, std::uint64_t counter, std::uint64_t stream, ChaChaRefill& out);

// The portable implementation, exposed so that tests can hold the vector one against it.
template <unsigned Rounds>
void chacha_refill_scalar(const ChaChaKey& key, std::uint64_t counter, std::uint64_t stream,
                          ChaChaRefill& out);

#if defined(__x86_64__) || defined(__i386__)
#define TAVRIN_CHACHA_SSE2 1
// Whether this processor runs SSE2 code: the vector implementation here, and the seat
// numbering that a 32-bit build also compiles for SSE2. Always true where the compiler's target
// already has SSE2; otherwise asked of the processor once per process.
bool processor_has_sse2() noexcept;

// Four blocks side by side, one block per 32-bit lane of each register. Call only where
// processor_has_sse2() holds: a 32-bit build compiles it for SSE2 on its own.
template <unsigned Rounds>
void chacha_refill_sse2(const ChaChaKey& key, std::uint64_t counter, std::uint64_t stream,
                        ChaChaRefill& out);
#endif

extern template void chacha_refill<12>(const ChaChaKey&, std::uint64_t, std::uint64_t, ChaChaRefill&);
extern template void chacha_refill<20>(const ChaChaKey&, std::uint64_t, std::uint64_t, ChaChaRefill&);
extern template void chacha_refill_scalar<12>(const ChaChaKey&, std::uint64_t, std::uint64_t,
                                              ChaChaRefill&);
extern template void chacha_refill_scalar<20>(const ChaChaKey&, std::uint64_t, std::uint64_t,
                                              ChaChaRefill&);
#ifdef TAVRIN_CHACHA_SSE2
extern template void chacha_refill_sse2<12>(const ChaChaKey&, std::uint64_t, std::uint64_t,
                                            ChaChaRefill&);
extern template void chacha_refill_sse2<20>(const ChaChaKey&, std::uint64_t, std::uint64_t,
                                            ChaChaRefill&);
#endif

}  // namespace tavrin
