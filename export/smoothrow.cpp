// Smooth items placed a row at a time, two at a time with SSE2: the scalar between()'s
// operations in its order, so every CPU writes the same numbers.
#include "smoothrow.h"

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace kcore {

namespace {

// What between() multiplies and adds by, in quanta.
struct Spans
{
    double pitch, half, minimum;
};

#ifdef __SSE2__
__m128d select2(__m128d mask, __m128d yes, __m128d no)
{
    return _mm_or_pd(_mm_and_pd(mask, yes), _mm_andnot_pd(mask, no));
}

// floor(v + 0.5) of numbers below 2^51, as LineGeometry::nearest() gives it: adding 1.5 * 2^52
// rounds to a whole number, one too high where it rounded up past v + 0.5.
__m128d nearest2(__m128d v)
{
    const __m128d up = _mm_add_pd(v, _mm_set1_pd(0.5));
    const __m128d magic = _mm_set1_pd(6755399441055744.0);
    const __m128d rounded = _mm_sub_pd(_mm_add_pd(up, magic), magic);
    return _mm_sub_pd(rounded, _mm_and_pd(_mm_cmpgt_pd(rounded, up), _mm_set1_pd(1.0)));
}

// Whole numbers below 2^51 as 64-bit integers: their bits once 1.5 * 2^52 is added.
__m128i wholeToInt2(__m128d v)
{
    const __m128d magic = _mm_set1_pd(6755399441055744.0);
    return _mm_sub_epi64(_mm_castpd_si128(_mm_add_pd(v, magic)), _mm_castpd_si128(magic));
}

size_t betweenSse2(const double *left, const double *right, qint64 *x, qint64 *length, size_t n,
                   const Spans &s)
{
    const __m128d pitch = _mm_set1_pd(s.pitch);
    const __m128d halfPitch = _mm_set1_pd(s.pitch / 2);
    const __m128d half = _mm_set1_pd(s.half);
    const __m128d minimum = _mm_set1_pd(s.minimum);
    const __m128d halfMinimum = _mm_set1_pd(s.minimum / 2);
    size_t i = 0;
    for (; i + 2 <= n; i += 2) {
        const __m128d l = _mm_loadu_pd(left + i);
        const __m128d r = _mm_loadu_pd(right + i);
        const __m128d a = _mm_add_pd(_mm_mul_pd(l, pitch), half);
        const __m128d b = _mm_sub_pd(_mm_mul_pd(r, pitch), half);
        const __m128d c = _mm_sub_pd(_mm_mul_pd(_mm_add_pd(l, r), halfPitch), halfMinimum);
        const __m128d narrow = _mm_cmplt_pd(_mm_sub_pd(b, a), minimum);
        const __m128d from = nearest2(select2(narrow, c, a));
        const __m128d to = nearest2(select2(narrow, _mm_add_pd(c, minimum), b));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(x + i), wholeToInt2(from));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(length + i),
                         wholeToInt2(_mm_max_pd(minimum, _mm_sub_pd(to, from))));
    }
    return i;
}
#endif

} // namespace

void betweenAll(const LineGeometry &g, const double *left, const double *right, qint64 *x,
                qint64 *length, size_t n)
{
    size_t i = 0;
#ifdef __SSE2__
    i = betweenSse2(left, right, x, length, n,
                    Spans{g.pitchQuanta(), double(g.width()) / 2, double(g.minLength())});
#endif
    for (; i < n; ++i)
        g.between(left[i], right[i], x + i, length + i);
}

} // namespace kcore
