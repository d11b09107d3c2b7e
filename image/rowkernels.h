// The hot row loops of the pipeline. Over whole images they write with streaming stores: the
// rows are far larger than the caches, and plain stores would first read every destination line.
// Over a single scratch row, which is read again at once, they use ordinary stores.
#pragma once

#include "greyimage.h"

#include <cstdint>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace kcore {

// dst[x] = grey pixel of the opaque 0xffRRGGBB word src[x]. Uses AVX2 where the CPU has it,
// chosen once at run time.
void greyRow(const quint32 *src, quint32 *dst, int w, bool streamingStores);
// The version greyRow() runs: "AVX2", "SSE2" or "portable". KESTREL_NO_AVX2=1 in the environment
// keeps it from AVX2, so the tests can run the SSE2 version on any x86 CPU.
const char *greyRowKernel();

// dst[x] = white where the grey in the low byte of src[x] exceeds threshold, else black;
// flip = 0x00ffffff swaps the two.
inline void clipRow(const quint32 *src, quint32 *dst, int w, quint32 threshold, quint32 flip,
                    bool streamingStores = true)
{
    auto one = [&](quint32 p) {
        const quint32 light = quint32(0) - quint32((p & 0xffu) > threshold);
        return 0xff000000u | ((light & 0x00ffffffu) ^ flip);
    };
    int x = 0;
#ifdef __SSE2__
    for (; x < w && (reinterpret_cast<std::uintptr_t>(dst + x) & 15); ++x)
        dst[x] = one(src[x]);
    const __m128i low = _mm_set1_epi32(0xff);
    const __m128i t = _mm_set1_epi32(int(threshold));
    const __m128i colour = _mm_set1_epi32(0x00ffffff);
    const __m128i f = _mm_set1_epi32(int(flip));
    const __m128i alpha = _mm_set1_epi32(int(0xff000000u));
    for (; x + 4 <= w; x += 4) {
        const __m128i p = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src + x));
        const __m128i light = _mm_cmpgt_epi32(_mm_and_si128(p, low), t);
        const __m128i out = _mm_or_si128(alpha, _mm_xor_si128(_mm_and_si128(light, colour), f));
        if (streamingStores)
            _mm_stream_si128(reinterpret_cast<__m128i *>(dst + x), out);
        else
            _mm_store_si128(reinterpret_cast<__m128i *>(dst + x), out);
    }
#else
    (void)streamingStores;
#endif
    for (; x < w; ++x)
        dst[x] = one(src[x]);
}

// Streaming stores are weakly ordered: make them visible before anyone reads the image.
inline void finishRows()
{
#ifdef __SSE2__
    _mm_sfence();
#endif
}

} // namespace kcore
