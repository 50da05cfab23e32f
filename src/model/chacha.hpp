// The ChaCha block function, four consecutive blocks (64 words) per call. State layout:
// words 0-3 the constant "expand 32-byte k", 4-11 the 256-bit key, 12-13 a 64-bit block
// counter (low word first), 14-15 a 64-bit stream number. The round count is a template
// parameter so that the 20-round published vectors check the same code as the 12 rounds we
// draw with. Output word i of block b is out[16 * b + i]; the counter wraps modulo 2^64.
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace tavrin {

inline constexpr std::uint32_t CHACHA_BLOCK_WORDS = 16;
// The first four words of every block: "expand 32-byte k" read as four little-endian words
// (RFC 7539, section 2.3).
inline constexpr std::array<std::uint32_t, 4> CHACHA_SIGMA = {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574};
inline constexpr std::uint32_t CHACHA_REFILL_BLOCKS = 4;
inline constexpr std::uint32_t CHACHA_REFILL_WORDS = CHACHA_BLOCK_WORDS * CHACHA_REFILL_BLOCKS;

// Little-endian words of the 32-byte key.
using ChaChaKey = std::array<std::uint32_t, 8>;
using ChaChaRefill = std::array<std::uint32_t, CHACHA_REFILL_WORDS>;
// Writes blocks counter .. counter + 3 of a key and stream: one of the functions below.
using ChaChaRefillFunction = void (*)(const ChaChaKey& key, std::uint64_t counter, std::uint64_t stream,
                                      ChaChaRefill& out);

// Blocks counter, counter + 1, counter + 2, counter + 3 of the given key and stream, on the
// fastest path this processor runs (chosen once per process at the first call): on x86 the
// AVX-512 one, else AVX2, else SSE2 (always there on x86-64), else the portable one.
template <unsigned Rounds>
void chacha_refill(const ChaChaKey& key, std::uint64_t counter, std::uint64_t stream, ChaChaRefill& out);

// The portable implementation, exposed so that tests can hold the vector ones against it.
template <unsigned Rounds>
void chacha_refill_scalar(const ChaChaKey& key, std::uint64_t counter, std::uint64_t stream,
                          ChaChaRefill& out);

// One implementation of the 12-round refill, by the name callers choose it with: "avx512",
// "avx2", "sse2" or "scalar".
struct ChaChaPath {
    const char* name;
    ChaChaRefillFunction rounds12;
};

// The implementations this processor runs, fastest first: the first is the one chacha_refill
// takes. All give the same words.
std::span<const ChaChaPath> chacha_paths() noexcept;

#if defined(__x86_64__) || defined(__i386__)
#define TAVRIN_CHACHA_X86 1
// What this processor runs, asked once per process. SSE2 is always true where the compiler's
// target already has it; it also decides the seat numbering of a 32-bit build. AVX2 and
// AVX-512 count only where the operating system also saves the wider registers.
bool processor_has_sse2() noexcept;
bool processor_has_avx2() noexcept;
bool processor_has_avx512vl() noexcept;

// Four blocks side by side, one block per 32-bit lane of each 128-bit register. Call only where
// processor_has_sse2() holds: a 32-bit build compiles it for SSE2 on its own.
template <unsigned Rounds>
void chacha_refill_sse2(const ChaChaKey& key, std::uint64_t counter, std::uint64_t stream,
                        ChaChaRefill& out);

// The same four blocks in eight 256-bit registers, two columns per quarter round, with AVX2
// alone or with AVX-512's rotation (on 256-bit registers, which also suits 32-bit x86 and its
// eight vector registers). Call only where processor_has_avx2() or processor_has_avx512vl() holds.
template <unsigned Rounds>
void chacha_refill_avx2(const ChaChaKey& key, std::uint64_t counter, std::uint64_t stream,
                        ChaChaRefill& out);
template <unsigned Rounds>
void chacha_refill_avx512vl(const ChaChaKey& key, std::uint64_t counter, std::uint64_t stream,
                            ChaChaRefill& out);
#endif

extern template void chacha_refill<12>(const ChaChaKey&, std::uint64_t, std::uint64_t, ChaChaRefill&);
extern template void chacha_refill<20>(const ChaChaKey&, std::uint64_t, std::uint64_t, ChaChaRefill&);
extern template void chacha_refill_scalar<12>(const ChaChaKey&, std::uint64_t, std::uint64_t,
                                              ChaChaRefill&);
extern template void chacha_refill_scalar<20>(const ChaChaKey&, std::uint64_t, std::uint64_t,
                                              ChaChaRefill&);
#ifdef TAVRIN_CHACHA_X86
extern template void chacha_refill_sse2<12>(const ChaChaKey&, std::uint64_t, std::uint64_t,
                                            ChaChaRefill&);
extern template void chacha_refill_sse2<20>(const ChaChaKey&, std::uint64_t, std::uint64_t,
                                            ChaChaRefill&);
extern template void chacha_refill_avx2<12>(const ChaChaKey&, std::uint64_t, std::uint64_t,
                                            ChaChaRefill&);
extern template void chacha_refill_avx2<20>(const ChaChaKey&, std::uint64_t, std::uint64_t,
                                            ChaChaRefill&);
extern template void chacha_refill_avx512vl<12>(const ChaChaKey&, std::uint64_t, std::uint64_t,
                                                ChaChaRefill&);
extern template void chacha_refill_avx512vl<20>(const ChaChaKey&, std::uint64_t, std::uint64_t,
                                                ChaChaRefill&);
#endif

}  // namespace tavrin
