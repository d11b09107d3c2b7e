// The runs of set pixels in a row of 32-bit words, found 64 pixels at a time.
#pragma once

#include <QtGlobal>

#include <cstdint>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace kcore {

// Bit i set when pixel i of the n (at most 64) pixels at row is set (lowest byte not zero).
inline quint64 setBits(const quint32 *row, int n)
{
    quint64 bits = 0;
    int i = 0;
#ifdef __SSE2__
    const __m128i low = _mm_set1_epi32(0xff);
    const __m128i zero = _mm_setzero_si128();
    auto clear4 = [&](int at) {
        const __m128i p = _mm_loadu_si128(reinterpret_cast<const __m128i *>(row + at));
        return _mm_cmpeq_epi32(_mm_and_si128(p, low), zero);
    };
    for (; i + 16 <= n; i += 16) {
        const __m128i clear = _mm_packs_epi16(_mm_packs_epi32(clear4(i), clear4(i + 4)),
                                              _mm_packs_epi32(clear4(i + 8), clear4(i + 12)));
        bits |= quint64(~unsigned(_mm_movemask_epi8(clear)) & 0xffffu) << i;
    }
#endif
    for (; i < n; ++i)
        bits |= quint64((row[i] & 0xffu) != 0) << i;
    return bits;
}

// Calls run(s, n) for every run of set pixels (lowest byte not zero) in row[from, to), in order.
// Sixty-four pixels become one word of bits, and the word of their edges (where a pixel differs
// from the one before) is walked a set bit at a time: long runs and gaps cost next to nothing,
// and irregular edges cause no mispredicted branch per pixel.
// block(x) is called as the search reaches pixel x, every 64 pixels.
template<typename Run, typename Block>
inline void forEachRun(const quint32 *row, int from, int to, Run &&run, Block &&block)
{
    int start = -1; // of the run still open, if any
    quint64 before = 0; // whether the pixel before the block is set
    for (int x = from; x < to; x += 64) {
        // The pixels four blocks (1 KB) ahead asked for now: the processor's own prefetcher stops
        // at every 4 KB page, and the search would wait there. Asking past the row's end is
        // harmless.
        const std::uintptr_t ahead = reinterpret_cast<std::uintptr_t>(row + x) + 1024;
        for (int line = 0; line < 256; line += 64)
            __builtin_prefetch(reinterpret_cast<const void *>(ahead + line));
        block(x);
        const int n = qMin(64, to - x);
        const quint64 set = setBits(row + x, n);
        const quint64 valid = n == 64 ? ~quint64(0) : (quint64(1) << n) - 1;
        quint64 edges = (set ^ (set << 1 | before)) & valid;
        before = set >> (n - 1) & 1;
        while (edges) {
            const int i = __builtin_ctzll(edges);
            edges &= edges - 1;
            if (start < 0) {
                start = x + i;
            } else {
                run(start, x + i - start);
                start = -1;
            }
        }
    }
    if (start >= 0)
        run(start, to - start);
}

template<typename Run>
inline void forEachRun(const quint32 *row, int from, int to, Run &&run)
{
    forEachRun(row, from, to, run, [](int) {});
}

template<typename Run>
inline void forEachRun(const quint32 *row, int width, Run &&run)
{
    forEachRun(row, 0, width, run);
}

} // namespace kcore
