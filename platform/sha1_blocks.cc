#include "platform/sha1_blocks.h"

#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))
#define BUILDSWEEP_SHA1_X86 1
#include <cpuid.h>
#include <immintrin.h>
#endif

namespace platform {

#if defined(BUILDSWEEP_SHA1_X86)
namespace {

// SSSE3 (the byte shuffle), SSE4.1 (the lane extract) and SHA.
bool HasShaInstructions() {
  unsigned a = 0, b = 0, c = 0, d = 0;
  if (__get_cpuid(1, &a, &b, &c, &d) == 0) return false;
  const bool ssse3 = (c & (1u << 9)) != 0;
  const bool sse41 = (c & (1u << 19)) != 0;
  if (__get_cpuid_count(7, 0, &a, &b, &c, &d) == 0) return false;
  const bool sha = (b & (1u << 29)) != 0;
  return ssse3 && sse41 && sha;
}

// Four rounds with the round group's function `F`: `e` is the next four
// schedule words with E added (sha1nexte), `abcd` the state.
template <int F>
__attribute__((target("sha,sse4.1,ssse3"))) inline void Rounds(__m128i& abcd, __m128i& previous,
                                                               __m128i e) {
  previous = abcd;
  abcd = _mm_sha1rnds4_epu32(abcd, e, F);
}

// Schedule words 4j..4j+3 from the four groups before them, kept in a
// ring of four: w[j&3] holds group j-4 until it is replaced.
__attribute__((target("sha,sse4.1,ssse3"))) inline __m128i NextWords(__m128i w[4], int j) {
  w[j & 3] = _mm_sha1msg2_epu32(
      _mm_xor_si128(_mm_sha1msg1_epu32(w[j & 3], w[(j + 1) & 3]), w[(j + 2) & 3]),
      w[(j + 3) & 3]);
  return w[j & 3];
}

__attribute__((target("sha,sse4.1,ssse3"))) void Sha1Blocks(std::uint32_t state[5],
                                                            const unsigned char* data,
                                                            std::size_t blocks) {
  // The instructions keep A in the highest lane and the words big-endian.
  const __m128i reverse_bytes = _mm_set_epi64x(0x0001020304050607LL, 0x08090a0b0c0d0e0fLL);
  __m128i abcd = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state)), 0x1b);
  __m128i e0 = _mm_set_epi32(static_cast<int>(state[4]), 0, 0, 0);
  for (; blocks > 0; --blocks, data += 64) {
    const __m128i abcd_before = abcd;
    const __m128i e_before = e0;
    __m128i w[4];
    for (int i = 0; i < 4; ++i) {
      w[i] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16 * i)),
                              reverse_bytes);
    }
    __m128i previous;
    Rounds<0>(abcd, previous, _mm_add_epi32(e0, w[0]));
    for (int j = 1; j < 4; ++j) Rounds<0>(abcd, previous, _mm_sha1nexte_epu32(previous, w[j]));
    Rounds<0>(abcd, previous, _mm_sha1nexte_epu32(previous, NextWords(w, 4)));
    for (int j = 5; j < 10; ++j) Rounds<1>(abcd, previous, _mm_sha1nexte_epu32(previous, NextWords(w, j)));
    for (int j = 10; j < 15; ++j) Rounds<2>(abcd, previous, _mm_sha1nexte_epu32(previous, NextWords(w, j)));
    for (int j = 15; j < 20; ++j) Rounds<3>(abcd, previous, _mm_sha1nexte_epu32(previous, NextWords(w, j)));
    e0 = _mm_sha1nexte_epu32(previous, e_before);
    abcd = _mm_add_epi32(abcd, abcd_before);
  }
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state), _mm_shuffle_epi32(abcd, 0x1b));
  state[4] = static_cast<std::uint32_t>(_mm_extract_epi32(e0, 3));
}

}  // namespace

bool Sha1BlocksInHardware(std::uint32_t state[5], const unsigned char* data, std::size_t blocks) {
  static const bool available = HasShaInstructions();
  if (!available) return false;
  Sha1Blocks(state, data, blocks);
  return true;
}

#else

bool Sha1BlocksInHardware(std::uint32_t*, const unsigned char*, std::size_t) { return false; }

#endif

}  // namespace platform
