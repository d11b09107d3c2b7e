// The grey row kernel in a portable, an SSE2 and an AVX2 version, picked once for the CPU.
#include "rowkernels.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define KESTREL_X86 1
#endif

namespace kcore {

namespace {

void greyTail(const quint32 *src, quint32 *dst, int from, int to)
{
    for (int x = from; x < to; ++x)
        dst[x] = greyPixel(int(greyOfPacked(src[x])));
}

#ifdef __SSE2__
void greyRowSse2(const quint32 *src, quint32 *dst, int w, bool stream)
{
    int x = 0;
    for (; x < w && (reinterpret_cast<std::uintptr_t>(dst + x) & 15); ++x)
        dst[x] = greyPixel(int(greyOfPacked(src[x])));
    const __m128i redBlueMask = _mm_set1_epi32(0x00ff00ff);
    const __m128i greenMask = _mm_set1_epi32(0x0000ff00);
    const __m128i weights = _mm_set1_epi32(11 << 16 | 5); // R and B, as 16-bit pairs
    const __m128i alpha = _mm_set1_epi32(int(0xff000000u));
    for (; x + 4 <= w; x += 4) {
        const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src + x));
        const __m128i rb = _mm_madd_epi16(_mm_and_si128(c, redBlueMask), weights);
        const __m128i g16 = _mm_srli_epi32(_mm_and_si128(c, greenMask), 4);
        const __m128i g = _mm_srli_epi32(_mm_add_epi32(rb, g16), 5);
        const __m128i out = _mm_or_si128(_mm_or_si128(alpha, g),
                                         _mm_or_si128(_mm_slli_epi32(g, 8), _mm_slli_epi32(g, 16)));
        if (stream)
            _mm_stream_si128(reinterpret_cast<__m128i *>(dst + x), out);
        else
            _mm_store_si128(reinterpret_cast<__m128i *>(dst + x), out);
    }
    greyTail(src, dst, x, w);
}
#endif

#ifdef KESTREL_X86
__attribute__((target("avx2"))) void greyRowAvx2(const quint32 *src, quint32 *dst, int w,
                                                 bool stream)
{
    int x = 0;
    for (; x < w && (reinterpret_cast<std::uintptr_t>(dst + x) & 31); ++x)
        dst[x] = greyPixel(int(greyOfPacked(src[x])));
    const __m256i redBlueMask = _mm256_set1_epi32(0x00ff00ff);
    const __m256i greenMask = _mm256_set1_epi32(0x0000ff00);
    const __m256i weights = _mm256_set1_epi32(11 << 16 | 5);
    const __m256i alpha = _mm256_set1_epi32(int(0xff000000u));
    // Spreads the grey byte of each word over its three colour bytes.
    const __m256i spread = _mm256_setr_epi8(0, 0, 0, -1, 4, 4, 4, -1, 8, 8, 8, -1, 12, 12, 12, -1,
                                            0, 0, 0, -1, 4, 4, 4, -1, 8, 8, 8, -1, 12, 12, 12, -1);
    for (; x + 8 <= w; x += 8) {
        const __m256i c = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(src + x));
        const __m256i rb = _mm256_madd_epi16(_mm256_and_si256(c, redBlueMask), weights);
        const __m256i g16 = _mm256_srli_epi32(_mm256_and_si256(c, greenMask), 4);
        const __m256i g = _mm256_srli_epi32(_mm256_add_epi32(rb, g16), 5);
        const __m256i out = _mm256_or_si256(alpha, _mm256_shuffle_epi8(g, spread));
        if (stream)
            _mm256_stream_si256(reinterpret_cast<__m256i *>(dst + x), out);
        else
            _mm256_store_si256(reinterpret_cast<__m256i *>(dst + x), out);
    }
    greyTail(src, dst, x, w);
}
#endif

[[maybe_unused]] void greyRowPortable(const quint32 *src, quint32 *dst, int w, bool)
{
    greyTail(src, dst, 0, w);
}

using GreyRowFn = void (*)(const quint32 *, quint32 *, int, bool);

struct GreyKernel
{
    GreyRowFn fn;
    const char *name;
};

GreyKernel pickGreyRow()
{
#ifdef KESTREL_X86
    if (qEnvironmentVariableIsEmpty("KESTREL_NO_AVX2") && __builtin_cpu_supports("avx2"))
        return {greyRowAvx2, "AVX2"};
#endif
#ifdef __SSE2__
    return {greyRowSse2, "SSE2"};
#else
    return {greyRowPortable, "portable"};
#endif
}

const GreyKernel &greyKernel()
{
    static const GreyKernel kernel = pickGreyRow();
    return kernel;
}

} // namespace

void greyRow(const quint32 *src, quint32 *dst, int w, bool streamingStores)
{
    greyKernel().fn(src, dst, w, streamingStores);
}

const char *greyRowKernel()
{
    return greyKernel().name;
}

} // namespace kcore
