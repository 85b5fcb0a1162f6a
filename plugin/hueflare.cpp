/*
 * Vivanto: a colour booster stage for the host editor's 16-bit pipeline.
 *
 * It scales the two colour-opponent channels (red-green, blue-yellow) of the
 * host's working image about neutral and never touches lightness, so colours
 * get stronger or weaker with no change of exposure or contrast.
 *
 * This file is the whole plug-in, read top to bottom in the order the host
 * lives it: keys and option set, the stage's arithmetic, the stage, the
 * settings hooks, registration, and the three exported entry points last.
 *
 * Plain C-style C++: no classes, exceptions, allocation, threads or library
 * calls, and no header beyond those a freestanding compiler provides, so that
 * one source builds for every target the plug-in ships on. The library keeps
 * no mutable state; everything lives in one hook call.
 */
#include <stddef.h>
#include <stdint.h>

#include "bibble_host.h"

/*
 * Build switch: how the stage's arithmetic is evaluated.
 *   0 (default, the Windows build): every intermediate is formed exactly and
 *     rounded once to single precision; rounding is half up.
 *   1 (the Mac OS X build): plain single precision, each product and sum
 *     rounded to single as it is formed.
 * The two differ by exactly one on about 0.17 % of (slider, sample) pairs.
 */
#ifndef HUEFLARE_PLAIN_SINGLE
#define HUEFLARE_PLAIN_SINGLE 0
#endif

/* Excess precision (x87 arithmetic) would round twice and break both rules;
 * 32-bit x86 builds must evaluate floats in SSE registers. */
#if defined(__FLT_EVAL_METHOD__) && __FLT_EVAL_METHOD__ != 0
#error "float arithmetic must not use excess precision: build with -msse2 -mfpmath=sse"
#endif

/* Keeps the compiler from fusing a separate multiply and add into one rounding
 * (GCC ignores this and is given -ffp-contract=off by the build instead). */
#if defined(__clang__)
#pragma STDC FP_CONTRACT OFF
#endif

#if defined(_WIN32)
#define HUEFLARE_EXPORT extern "C" __declspec(dllexport)
#else
#define HUEFLARE_EXPORT extern "C" __attribute__((visibility("default")))
#endif

/* ------------------------------------------------------------------------ */
/* Keys and option set                                                      */
/* ------------------------------------------------------------------------ */

/* The host stores the three settings under these keys; stored edits and
 * presets depend on them, so they never change. */
static const char HUEFLARE_ENABLED[] = "vivanto_enabled";
static const char HUEFLARE_RG[] = "vivanto_rg";
static const char HUEFLARE_BY[] = "vivanto_by";
static const char HUEFLARE_GROUP[] = "vivanto_plugin";
static const char HUEFLARE_ABOUT[] = "vivanto_about";
/* The name by which the host identifies this plug-in's stage in an edit. */
static const char HUEFLARE_PLUGIN[] = "HueflarePlugin_pop";

static const char LABEL_ENABLED[] = "Enable vivanto plugin";
static const char LABEL_RG[] = "Pop the reds and greens";
static const char LABEL_BY[] = "Pop the blues and yellows.";

/* Defaults at definition, and the values assumed when an option is missing. */
enum { DEFAULT_ENABLED = 0, DEFAULT_RG = 15, DEFAULT_BY = 35 };

enum { INTERFACE_VERSION = 5, FORMAT_LAB16 = 3, PROCESS_FIRST = 9, PROCESS_SECOND = 4 };

/* ------------------------------------------------------------------------ */
/* The stage's arithmetic                                                   */
/* ------------------------------------------------------------------------ */

enum { SLIDER_MIN = -100, SLIDER_MAX = 600, SAMPLE_MAX = 65535 };
/* Neutral chroma sits at 32767, not 32768: the host's encoding. */
static const float NEUTRAL = 32767.0f;

/* Slider value to scale factor: (v + 100) / 100 rounded to the nearest single.
 * A float division of the exact integer v + 100 by 100 rounds exactly so. */
static float factorFromValue(int32_t value)
{
    if (value < SLIDER_MIN)
        value = SLIDER_MIN;
    if (value > SLIDER_MAX)
        value = SLIDER_MAX;
    return (float)(value + 100) / 100.0f;
}

#if !HUEFLARE_PLAIN_SINGLE

/* 32767 - 32767 * s. The double product and difference are exact (at most
 * 46 significant bits for any factor), so the value is rounded once. */
static float offsetFromFactor(float factor)
{
    return (float)((double)NEUTRAL - (double)NEUTRAL * (double)factor);
}

/* w <= 0 gives 0, w >= 65535 gives 65535, anything else the integer part of
 * w + 0.5, added exactly in double (round half up). */
static uint16_t toSample(float w)
{
    if (w <= 0.0f)
        return 0;
    if (w >= (float)SAMPLE_MAX)
        return SAMPLE_MAX;
    /* Round half up on purpose, and no library call; w is positive here. */
    return (uint16_t)(int32_t)((double)w + 0.5); /* NOLINT(bugprone-incorrect-roundings) */
}

/* x * s + o: the double product has at most 40 significant bits and the sum
 * at most 46, so both are exact and the float conversion is the one rounding. */
static uint16_t scaleSample(uint16_t x, float factor, float offset)
{
    return toSample((float)((double)x * (double)factor + (double)offset));
}

#else /* HUEFLARE_PLAIN_SINGLE */

static float offsetFromFactor(float factor)
{
    float product = factor * -NEUTRAL;
    return product + NEUTRAL;
}

static uint16_t toSample(float w)
{
    if (w <= 0.0f)
        return 0;
    if (w >= (float)SAMPLE_MAX)
        return SAMPLE_MAX;
    float rounded = w + 0.5f;
    return (uint16_t)(int32_t)rounded;
}

static uint16_t scaleSample(uint16_t x, float factor, float offset)
{
    float product = (float)x * factor;
    float w = product + offset;
    return toSample(w);
}

#endif /* HUEFLARE_PLAIN_SINGLE */

/* Factors and offsets of one call, worked out once before the first row. */
typedef struct ChromaScale {
    float factorRg, offsetRg;
    float factorBy, offsetBy;
} ChromaScale;

/* The scalar loop: the definition of what every faster variant must match
 * bit for bit, and the loop for any layout those do not cover. Both samples
 * of a pixel are read before either is written, since a host may give a
 * channel step of 0; channel 0 is never touched. */
static void scaleRowScalar(uint16_t* pixel, int64_t count, ptrdiff_t channelStep,
                           ptrdiff_t pixelStep, const ChromaScale* scale)
{
    for (int64_t i = 0; i < count; ++i, pixel += pixelStep) {
        uint16_t rg = pixel[channelStep];
        uint16_t by = pixel[2 * channelStep];
        pixel[channelStep] = scaleSample(rg, scale->factorRg, scale->offsetRg);
        pixel[2 * channelStep] = scaleSample(by, scale->factorBy, scale->offsetBy);
    }
}

/* ------------------------------------------------------------------------ */
/* Vectorised rows                                                          */
/* ------------------------------------------------------------------------ */

/*
 * The layouts hosts really use, channel step 1 with pixel step 3 or 4, are
 * walked as one run of interleaved samples, eight at a time, without sorting
 * channels apart: each lane gets its own factor and offset, those of its
 * channel, and lightness (and the fourth sample of a four-sample pixel) gets
 * factor 1 and offset 0. x * 1 + 0.5 truncates back to x under either
 * evaluation, so those samples are stored back unchanged. Results are bit
 * for bit those of scaleRowScalar (toSamplesSse2 says how).
 *
 * A row's run goes from the first walked pixel's sample 0 to the last walked
 * pixel's channel 2: nothing outside it is read or stored. Eight samples that
 * do not fill a whole vector at the end are covered by one more vector laid
 * over the run's last eight samples; it is loaded and worked out before any
 * store, so the samples it shares with the vector before it are stored twice
 * with the same value, never scaled twice.
 *
 * The AVX-512 loop works otherwise (see ChromaTables): it scales only the
 * chroma samples, stores nothing else, and takes a row's end through masks.
 *
 * Which instructions to use is asked of the CPU once per process; the answer
 * cannot change while the process lives.
 */
#if defined(__SSE2__) && (defined(__i386__) || defined(__x86_64__))
#define HUEFLARE_X86_VECTORS 1
#else
#define HUEFLARE_X86_VECTORS 0
#endif

/* The row loops the stage can run, the later the wider; the testing build
 * lets tests force one. */
enum RowPath {
    PATH_SCALAR = 0,
    PATH_SSE2 = 1,
    PATH_AVX = 2,
    PATH_AVX_FMA = 3,
    PATH_AVX2 = 4,
    PATH_AVX512 = 5,
    PATH_COUNT = 6
};

#if HUEFLARE_X86_VECTORS

#include <cpuid.h>
#include <immintrin.h>

enum { LANES = 8, MAX_PIXEL_STEP = 4, LINE_SAMPLES = 32 };

/* The AVX-512 path works on blocks of whole cache lines (32 samples each):
 * three lines, 32 pixels, with pixel step 3; two lines, 16 pixels, with
 * pixel step 4. It picks the chroma samples of 8 pixels out of a line into
 * 32-bit lanes, channel 1 of pixel i in lane 2i and channel 2 in lane 2i + 1,
 * so that only chroma is converted and scaled and every vector has the same
 * factors. Two such vectors pack into one of 16-bit results (with the pack's
 * order of 128-bit quarters), which are moved to the chroma samples of their
 * lines and stored through a mask of those samples alone. Worked out once
 * per call. */
enum { CHROMA_LANES = 16, BLOCK_LINES = 3 };
typedef struct ChromaTables {
    uint16_t pick[2][LINE_SAMPLES];            /* 8 pixels from a line's start; 8 samples in */
    uint16_t place[BLOCK_LINES][LINE_SAMPLES]; /* line k's chroma from the packed results */
    uint32_t chroma[BLOCK_LINES];              /* which samples of line k are chroma */
    float factor[CHROMA_LANES], offsetHalf[CHROMA_LANES], productBias[CHROMA_LANES];
} ChromaTables;

/* Factor and offset of every lane of an eight-sample vector that starts
 * `phase` samples into a pixel (phase 0..pixelStep-1): lane i holds channel
 * (phase + i) mod pixelStep. Worked out once per call, as are the AVX-512
 * path's tables. */
typedef struct LanePatterns {
    float factor[MAX_PIXEL_STEP][LANES];
    float offsetHalf[MAX_PIXEL_STEP][LANES];
    double factorWide[MAX_PIXEL_STEP][LANES];
    double offsetHalfWide[MAX_PIXEL_STEP][LANES];
    ChromaTables chroma;
    int32_t pixelStep;
} LanePatterns;

/* Factor and offset of channel `channel` (0..pixelStep-1). */
static void channelScale(const ChromaScale* scale, int32_t channel, float* factor, float* offset)
{
    *factor = channel == 1 ? scale->factorRg : channel == 2 ? scale->factorBy : 1.0f;
    *offset = channel == 1 ? scale->offsetRg : channel == 2 ? scale->offsetBy : 0.0f;
}

static void fillLanePatterns(const ChromaScale* scale, int32_t pixelStep, LanePatterns* lanes)
{
    lanes->pixelStep = pixelStep;
    for (int32_t phase = 0; phase < pixelStep; ++phase)
        for (int32_t lane = 0, channel = phase; lane < LANES; ++lane) {
            float factor, offset;
            channelScale(scale, channel, &factor, &offset);
            lanes->factor[phase][lane] = factor;
            lanes->offsetHalf[phase][lane] = offset + 0.5f;
            lanes->factorWide[phase][lane] = factor;
            lanes->offsetHalfWide[phase][lane] = (double)offset + 0.5;
            channel = channel + 1 == pixelStep ? 0 : channel + 1;
        }
}

/* Where the packed results put channel `channel` (1 or 2) of pixel `pixel`
 * (0..15) of the two picked vectors: each 128-bit quarter holds four results
 * of the first vector, then four of the second. */
static int32_t packedIndex(int32_t pixel, int32_t channel)
{
    int32_t lane = 2 * (pixel % 8) + channel - 1;
    return 8 * (lane / 4) + 4 * (pixel / 8) + lane % 4;
}

static void fillChromaTables(const ChromaScale* scale, int32_t pixelStep, LanePatterns* lanes)
{
    ChromaTables* tables = &lanes->chroma;
    lanes->pixelStep = pixelStep;
    for (int32_t lane = 0; lane < CHROMA_LANES; ++lane) {
        float factor, offset;
        channelScale(scale, 1 + lane % 2, &factor, &offset);
        tables->factor[lane] = factor;
        tables->offsetHalf[lane] = offset + 0.5f;
        tables->productBias[lane] = -8388608.0f * factor;
    }
    for (int32_t word = 0; word < LINE_SAMPLES; ++word) {
        int32_t pixel = word / 4, channel = 1 + word / 2 % 2;
        uint16_t sample = word % 2 == 0 ? (uint16_t)(pixelStep * pixel + channel) : 0;
        tables->pick[0][word] = sample;
        tables->pick[1][word] = (uint16_t)(sample + 8);
    }
    /* Pixels 0..15 of a block come from the first packed vector, 16..31 from
     * the second, which a two-source move indexes from 32 up. Pixel and
     * channel are counted along: a division per sample would show in a call
     * for one tile. */
    for (int32_t line = 0, pixel = 0, channel = 0; line < BLOCK_LINES; ++line) {
        tables->chroma[line] = 0;
        for (int32_t word = 0; word < LINE_SAMPLES; ++word) {
            int32_t chroma = channel == 1 || channel == 2;
            int32_t source = pixel < 16 || line == 2 ? 0 : 32;
            tables->place[line][word] =
                chroma ? (uint16_t)(source + packedIndex(pixel % 16, channel)) : 0;
            tables->chroma[line] |= (uint32_t)chroma << word;
            if (++channel == pixelStep) {
                channel = 0;
                ++pixel;
            }
        }
    }
}

/* toSample on the lanes, with the clamps left to the saturating pack that
 * follows. Every loop forms w + 0.5 in one go, x * s + (o + 0.5), with o + 0.5
 * exact: under the exact rule with that sum's single rounding, under the
 * plain rule as the rounded product plus o + 0.5, rounded. For every slider
 * value and sample that gives the rule's result (the exhaustive tests check
 * each): the rounded w + 0.5 is the rounded w plus 0.5 wherever both lie
 * between the same powers of two, since floats there are spaced a power of
 * two no wider than 0.5 apart. Truncation then takes the integer part; sums
 * at or below 0 truncate to at most 0 and sums of 65535 or more to at least
 * 65535, so the pack's clamps give both bounds. */
static inline __m128i toSamplesSse2(__m128 rounded)
{
    return _mm_cvttps_epi32(rounded);
}

/* 32-bit lanes to 16-bit samples, saturated to 0..65535: SSE2 packs with
 * signed saturation only, so the values are moved into signed range and back. */
static inline __m128i packSamplesSse2(__m128i low, __m128i high)
{
    __m128i bias = _mm_set1_epi32(32768);
    __m128i packed = _mm_packs_epi32(_mm_sub_epi32(low, bias), _mm_sub_epi32(high, bias));
    return _mm_xor_si128(packed, _mm_set1_epi16((short)0x8000));
}

#if !HUEFLARE_PLAIN_SINGLE
/* x * s + (o + 0.5) on four lanes in double, where product and sum are
 * exact, then rounded once to float. */
static inline __m128 scaleLanesSse2(__m128i x, const double* factor, const double* offset)
{
    __m128d low = _mm_cvtepi32_pd(x);
    __m128d high = _mm_cvtepi32_pd(_mm_shuffle_epi32(x, _MM_SHUFFLE(1, 0, 3, 2)));
    low = _mm_add_pd(_mm_mul_pd(low, _mm_loadu_pd(factor)), _mm_loadu_pd(offset));
    high = _mm_add_pd(_mm_mul_pd(high, _mm_loadu_pd(factor + 2)), _mm_loadu_pd(offset + 2));
    return _mm_movelh_ps(_mm_cvtpd_ps(low), _mm_cvtpd_ps(high));
}
#define SSE2_LANES(x, lanes, phase, first)                                                         \
    scaleLanesSse2((x), &(lanes)->factorWide[phase][first], &(lanes)->offsetHalfWide[phase][first])
#else
/* x * s, rounded, plus o + 0.5, rounded: -ffp-contract=off keeps them apart. */
static inline __m128 scaleLanesSse2(__m128i x, const float* factor, const float* offset)
{
    __m128 product = _mm_mul_ps(_mm_cvtepi32_ps(x), _mm_loadu_ps(factor));
    return _mm_add_ps(product, _mm_loadu_ps(offset));
}
#define SSE2_LANES(x, lanes, phase, first)                                                         \
    scaleLanesSse2((x), &(lanes)->factor[phase][first], &(lanes)->offsetHalf[phase][first])
#endif

/* Eight samples from `at`, scaled; their lanes start `phase` samples into a
 * pixel. */
static inline __m128i scaleVectorSse2(const uint16_t* at, const LanePatterns* lanes, int32_t phase)
{
    __m128i samples = _mm_loadu_si128((const __m128i*)at);
    __m128i zero = _mm_setzero_si128();
    __m128 low = SSE2_LANES(_mm_unpacklo_epi16(samples, zero), lanes, phase, 0);
    __m128 high = SSE2_LANES(_mm_unpackhi_epi16(samples, zero), lanes, phase, 4);
    return packSamplesSse2(toSamplesSse2(low), toSamplesSse2(high));
}

/* Eight lanes of x * s + (o + 0.5) in one 256-bit float vector. */
#if !HUEFLARE_PLAIN_SINGLE
__attribute__((target("avx"))) static inline __m256
scaleLanesAvx(__m128i low, __m128i high, const LanePatterns* lanes, int32_t phase)
{
    const double* factor = lanes->factorWide[phase];
    const double* offset = lanes->offsetHalfWide[phase];
    __m256d wideLow = _mm256_add_pd(_mm256_mul_pd(_mm256_cvtepi32_pd(low), _mm256_loadu_pd(factor)),
                                    _mm256_loadu_pd(offset));
    __m256d wideHigh =
        _mm256_add_pd(_mm256_mul_pd(_mm256_cvtepi32_pd(high), _mm256_loadu_pd(factor + 4)),
                      _mm256_loadu_pd(offset + 4));
    return _mm256_insertf128_ps(_mm256_castps128_ps256(_mm256_cvtpd_ps(wideLow)),
                                _mm256_cvtpd_ps(wideHigh), 1);
}

/* One fused multiply-add rounds x * s + (o + 0.5) once, as the exact rule does. */
__attribute__((target("avx,fma"))) static inline __m256
scaleLanesAvxFma(__m128i low, __m128i high, const LanePatterns* lanes, int32_t phase)
{
    __m256 x = _mm256_cvtepi32_ps(_mm256_insertf128_si256(_mm256_castsi128_si256(low), high, 1));
    return _mm256_fmadd_ps(x, _mm256_loadu_ps(lanes->factor[phase]),
                           _mm256_loadu_ps(lanes->offsetHalf[phase]));
}
#else
__attribute__((target("avx"))) static inline __m256
scaleLanesAvx(__m128i low, __m128i high, const LanePatterns* lanes, int32_t phase)
{
    __m256 x = _mm256_cvtepi32_ps(_mm256_insertf128_si256(_mm256_castsi128_si256(low), high, 1));
    __m256 product = _mm256_mul_ps(x, _mm256_loadu_ps(lanes->factor[phase]));
    return _mm256_add_ps(product, _mm256_loadu_ps(lanes->offsetHalf[phase]));
}
#endif

/* As toSamplesSse2, on eight lanes; packs with unsigned saturation. */
__attribute__((target("avx"))) static inline __m128i toSamplesAvx(__m256 rounded)
{
    __m256i values = _mm256_cvttps_epi32(rounded);
    return _mm_packus_epi32(_mm256_castsi256_si128(values), _mm256_extractf128_si256(values, 1));
}

/* Eight samples at `at` scaled in place, their lanes starting `phase`
 * samples into a pixel. */
#define SCALE_VECTOR_AT(scaleVector, first, at, lanes, phase)                                      \
    _mm_storeu_si128((__m128i*)((first) + (at)), scaleVector((first) + (at), (lanes), (phase)))

/* The row loop, the same for every instruction set. The run of a row is
 * (count - 1) x pixelStep + 3 samples, so its last eight start 5 samples
 * before a pixel boundary: at phase 1 for pixel step 3 and 3 for pixel step
 * 4. With pixel step 3 the phases of successive vectors run 0, 2, 1, which
 * a 24-sample block takes in one go; with pixel step 4 every vector starts a
 * pixel. `span` is at least LANES. */
#define VECTOR_ROW_LOOP(scaleVector, first, span, lanes)                                           \
    do {                                                                                           \
        int64_t lastAt = (span)-LANES;                                                             \
        int32_t lastPhase = (lanes)->pixelStep == 3 ? 1 : 3;                                       \
        __m128i last = scaleVector((first) + lastAt, (lanes), lastPhase);                          \
        int64_t at = 0;                                                                            \
        if ((lanes)->pixelStep == 3) {                                                             \
            for (; at + 3 * (int64_t)LANES <= (span); at += 3 * (int64_t)LANES) {                  \
                SCALE_VECTOR_AT(scaleVector, first, at, lanes, 0);                                 \
                SCALE_VECTOR_AT(scaleVector, first, at + LANES, lanes, 2);                         \
                SCALE_VECTOR_AT(scaleVector, first, at + 2 * (int64_t)LANES, lanes, 1);            \
            }                                                                                      \
            if (at <= lastAt) {                                                                    \
                SCALE_VECTOR_AT(scaleVector, first, at, lanes, 0);                                 \
                at += LANES;                                                                       \
            }                                                                                      \
            if (at <= lastAt) {                                                                    \
                SCALE_VECTOR_AT(scaleVector, first, at, lanes, 2);                                 \
                at += LANES;                                                                       \
            }                                                                                      \
        } else {                                                                                   \
            for (; at + 2 * (int64_t)LANES <= (span); at += 2 * (int64_t)LANES) {                  \
                SCALE_VECTOR_AT(scaleVector, first, at, lanes, 0);                                 \
                SCALE_VECTOR_AT(scaleVector, first, at + LANES, lanes, 0);                         \
            }                                                                                      \
            if (at <= lastAt) {                                                                    \
                SCALE_VECTOR_AT(scaleVector, first, at, lanes, 0);                                 \
                at += LANES;                                                                       \
            }                                                                                      \
        }                                                                                          \
        if (at < (span))                                                                           \
            _mm_storeu_si128((__m128i*)((first) + lastAt), last);                                  \
    } while (0)

static void scaleRowSse2(uint16_t* first, int64_t span, const LanePatterns* lanes)
{
    VECTOR_ROW_LOOP(scaleVectorSse2, first, span, lanes);
}

/* Widens four samples from `at` to 32-bit lanes as it loads them. */
__attribute__((target("avx"))) static inline __m128i loadFourAvx(const uint16_t* at)
{
    return _mm_cvtepu16_epi32(_mm_loadl_epi64((const __m128i*)at));
}

__attribute__((target("avx"))) static inline __m128i
scaleVectorAvx(const uint16_t* at, const LanePatterns* lanes, int32_t phase)
{
    return toSamplesAvx(scaleLanesAvx(loadFourAvx(at), loadFourAvx(at + 4), lanes, phase));
}

__attribute__((target("avx"))) static void scaleRowAvx(uint16_t* first, int64_t span,
                                                       const LanePatterns* lanes)
{
    VECTOR_ROW_LOOP(scaleVectorAvx, first, span, lanes);
}

#if !HUEFLARE_PLAIN_SINGLE
__attribute__((target("avx,fma"))) static inline __m128i
scaleVectorAvxFma(const uint16_t* at, const LanePatterns* lanes, int32_t phase)
{
    return toSamplesAvx(scaleLanesAvxFma(loadFourAvx(at), loadFourAvx(at + 4), lanes, phase));
}

__attribute__((target("avx,fma"))) static void scaleRowAvxFma(uint16_t* first, int64_t span,
                                                              const LanePatterns* lanes)
{
    VECTOR_ROW_LOOP(scaleVectorAvxFma, first, span, lanes);
}
#endif

/* AVX2 widens eight samples to 32-bit lanes in one instruction; the rest is
 * the AVX path's, with a fused multiply-add under the exact rule. */
__attribute__((target("avx2,fma"))) static inline __m128i
scaleVectorAvx2(const uint16_t* at, const LanePatterns* lanes, int32_t phase)
{
    __m256 x = _mm256_cvtepi32_ps(_mm256_cvtepu16_epi32(_mm_loadu_si128((const __m128i*)at)));
#if !HUEFLARE_PLAIN_SINGLE
    __m256 w = _mm256_fmadd_ps(x, _mm256_loadu_ps(lanes->factor[phase]),
                               _mm256_loadu_ps(lanes->offsetHalf[phase]));
#else
    __m256 product = _mm256_mul_ps(x, _mm256_loadu_ps(lanes->factor[phase]));
    __m256 w = _mm256_add_ps(product, _mm256_loadu_ps(lanes->offsetHalf[phase]));
#endif
    return toSamplesAvx(w);
}

__attribute__((target("avx2,fma"))) static void scaleRowAvx2(uint16_t* first, int64_t span,
                                                             const LanePatterns* lanes)
{
    VECTOR_ROW_LOOP(scaleVectorAvx2, first, span, lanes);
}

/*
 * AVX-512: see ChromaTables. A row's last samples short of a whole block are
 * loaded and stored through masks, which touch no memory outside the run
 * (masked-off lanes never fault).
 */
#define HUEFLARE_AVX512 __attribute__((target("avx512f,avx512bw")))

/* GCC 12 warns of the undefined vector its unmasked AVX-512 conversions pass
 * to the builtin; the same instructions with every lane selected say nothing
 * and compile to the unmasked form. */
#define ALL_LANES ((__mmask16)0xffff)
#define EVEN_WORDS ((__mmask32)0x55555555u)

/* A call's tables, held in registers for a row. */
typedef struct ChromaVectors {
    __m512i pick, pickLater, place0, place1, place2;
    __mmask32 chroma0, chroma1, chroma2;
    __m512 factor, offsetHalf, productBias;
} ChromaVectors;

HUEFLARE_AVX512 static inline ChromaVectors chromaVectors(const ChromaTables* tables)
{
    ChromaVectors vectors;
    vectors.pick = _mm512_loadu_si512(tables->pick[0]);
    vectors.pickLater = _mm512_loadu_si512(tables->pick[1]);
    vectors.place0 = _mm512_loadu_si512(tables->place[0]);
    vectors.place1 = _mm512_loadu_si512(tables->place[1]);
    vectors.place2 = _mm512_loadu_si512(tables->place[2]);
    vectors.chroma0 = (__mmask32)tables->chroma[0];
    vectors.chroma1 = (__mmask32)tables->chroma[1];
    vectors.chroma2 = (__mmask32)tables->chroma[2];
    vectors.factor = _mm512_loadu_ps(tables->factor);
    vectors.offsetHalf = _mm512_loadu_ps(tables->offsetHalf);
    vectors.productBias = _mm512_loadu_ps(tables->productBias);
    return vectors;
}

/*
 * The chroma of the 8 pixels `pick` names in `line`, scaled: toSample's
 * integer part of w + 0.5 in 32-bit lanes, with the clamps left to the
 * saturating pack that follows (the lanes hold -196602..262143).
 *
 * Exact rule: one fused multiply-add forms x * s + (o + 0.5), rounded once,
 * and truncation takes its integer part. o + 0.5 is exact for every factor,
 * and rounding w + 0.5 gives the rounded w plus 0.5 wherever both lie between
 * the same powers of two, since the floats there are spaced a power of two
 * no wider than 0.5 apart; the exhaustive tests show the two agree for every
 * slider value and sample.
 *
 * Plain rule: x * s rounded, plus o + 0.5 rounded, which the exhaustive tests
 * show equal to adding o and then 0.5, each rounded. No conversion is needed
 * for x: the pick puts it below the exponent of 2^23, giving the float
 * 2^23 + x, and one fused multiply-add with -2^23 * s has the exact result
 * x * s, which it rounds once, as the plain product is rounded.
 */
HUEFLARE_AVX512 static inline __m512i scaleChromaAvx512(__m512i line, __m512i pick,
                                                        const ChromaVectors* v)
{
#if !HUEFLARE_PLAIN_SINGLE
    __m512i x = _mm512_maskz_permutexvar_epi16(EVEN_WORDS, pick, line);
    __m512 rounded =
        _mm512_fmadd_ps(_mm512_maskz_cvtepi32_ps(ALL_LANES, x), v->factor, v->offsetHalf);
#else
    __m512i twoTo23 = _mm512_set1_epi32(0x4b000000);
    __m512i biased = _mm512_mask_permutexvar_epi16(twoTo23, EVEN_WORDS, pick, line);
    __m512 product = _mm512_fmadd_ps(_mm512_castsi512_ps(biased), v->factor, v->productBias);
    __m512 rounded = _mm512_add_ps(product, v->offsetHalf);
#endif
    return _mm512_maskz_cvttps_epi32(ALL_LANES, rounded);
}

/* The first `count` samples from `at`: a whole line, or as many as there are
 * through a mask (none for count <= 0). */
static inline __mmask32 firstSamples(int64_t count)
{
    return count >= LINE_SAMPLES ? (__mmask32)0xffffffffu
        : count <= 0             ? (__mmask32)0
                                 : (__mmask32)((1u << count) - 1u);
}

HUEFLARE_AVX512 static inline __m512i loadLine(const uint16_t* at, int64_t count)
{
    if (count >= LINE_SAMPLES)
        return _mm512_loadu_si512(at);
    return _mm512_maskz_loadu_epi16(firstSamples(count), at);
}

/* The chroma samples among the first `count` from `at`: nothing else of a
 * line is ever stored, so lightness (and the fourth sample of four-sample
 * pixels) is not written at all. One masked 64-byte store measured faster
 * than merging the results into the loaded line and storing it whole, and
 * than two masked 32-byte halves. */
HUEFLARE_AVX512 static inline void storeChroma(uint16_t* at, int64_t count, __mmask32 chroma,
                                               __m512i samples)
{
    _mm512_mask_storeu_epi16(at, chroma & firstSamples(count), samples);
}

/* One block of 32 pixels at pixel step 3, of which `count` samples belong
 * to the run. Pixels 8..15 and 16..23 straddle lines and are loaded where
 * they start (a load costs less than a two-source move out of the two
 * lines); every load lies within the block's run. At a row's end only
 * the pixels and lines the run reaches are worked out and stored. */
HUEFLARE_AVX512 static inline void scaleBlock3Avx512(uint16_t* at, int64_t count,
                                                     const ChromaVectors* v)
{
    __m512i none = _mm512_setzero_si512();
    __m512i pixels0 = scaleChromaAvx512(loadLine(at, count), v->pick, v);
    __m512i pixels8 =
        count > 24 ? scaleChromaAvx512(loadLine(at + 24, count - 24), v->pick, v) : none;
    __m512i packed0 = _mm512_packus_epi32(pixels0, pixels8);
    storeChroma(at, count, v->chroma0, _mm512_permutexvar_epi16(v->place0, packed0));
    if (count <= 32)
        return;
    __m512i packed1 = none;
    if (count > 48) {
        __m512i pixels16 = scaleChromaAvx512(loadLine(at + 48, count - 48), v->pick, v);
        __m512i pixels24 =
            count > 72 ? scaleChromaAvx512(loadLine(at + 64, count - 64), v->pickLater, v) : none;
        packed1 = _mm512_packus_epi32(pixels16, pixels24);
    }
    storeChroma(at + 32, count - 32, v->chroma1,
                _mm512_permutex2var_epi16(packed0, v->place1, packed1));
    if (count > 64)
        storeChroma(at + 64, count - 64, v->chroma2, _mm512_permutexvar_epi16(v->place2, packed1));
}

/* One block of 16 pixels at pixel step 4, of which `count` samples belong
 * to the run. */
HUEFLARE_AVX512 static inline void scaleBlock4Avx512(uint16_t* at, int64_t count,
                                                     const ChromaVectors* v)
{
    __m512i pixels0 = scaleChromaAvx512(loadLine(at, count), v->pick, v);
    __m512i pixels8 = count > 32 ? scaleChromaAvx512(loadLine(at + 32, count - 32), v->pick, v)
                                 : _mm512_setzero_si512();
    __m512i packed = _mm512_packus_epi32(pixels0, pixels8);
    storeChroma(at, count, v->chroma0, _mm512_permutexvar_epi16(v->place0, packed));
    if (count > 32)
        storeChroma(at + 32, count - 32, v->chroma1, _mm512_permutexvar_epi16(v->place1, packed));
}

HUEFLARE_AVX512 static void scaleRowAvx512(uint16_t* first, int64_t span, const LanePatterns* lanes)
{
    ChromaVectors vectors = chromaVectors(&lanes->chroma);
    int64_t at = 0;
    if (lanes->pixelStep == 3) {
        const int64_t block = 3 * (int64_t)LINE_SAMPLES;
        for (; at + block <= span; at += block)
            scaleBlock3Avx512(first + at, block, &vectors);
        if (at < span)
            scaleBlock3Avx512(first + at, span - at, &vectors);
    } else {
        const int64_t block = 2 * (int64_t)LINE_SAMPLES;
        for (; at + block <= span; at += block)
            scaleBlock4Avx512(first + at, block, &vectors);
        if (at < span)
            scaleBlock4Avx512(first + at, span - at, &vectors);
    }
}

/* The paths this CPU and operating system can run, one bit per RowPath.
 * AVX also needs the OS to save the 256-bit registers (XCR0 bits 1 and 2),
 * AVX-512 the mask and 512-bit registers as well (bits 5 to 7). */
static int32_t detectPaths(void)
{
    enum { XCR0_AVX = 0x6u, XCR0_AVX512 = 0xe6u };
    int32_t paths = (1 << PATH_SCALAR) | (1 << PATH_SSE2);
    unsigned int eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx))
        return paths;
    unsigned int xcr0 = 0;
    if ((ecx & bit_OSXSAVE) != 0) {
        unsigned int xcrHigh = 0;
        __asm__ volatile("xgetbv" : "=a"(xcr0), "=d"(xcrHigh) : "c"(0));
    }
    int hasAvx = (ecx & bit_AVX) != 0 && (xcr0 & XCR0_AVX) == XCR0_AVX;
    if (hasAvx)
        paths |= 1 << PATH_AVX;
    int hasFma = (ecx & bit_FMA) != 0;
#if !HUEFLARE_PLAIN_SINGLE
    if (hasAvx && hasFma)
        paths |= 1 << PATH_AVX_FMA;
#endif
    if (!hasAvx || !__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx))
        return paths;
    if (hasFma && (ebx & bit_AVX2) != 0)
        paths |= 1 << PATH_AVX2;
    if ((ebx & bit_AVX512F) != 0 && (ebx & bit_AVX512BW) != 0
        && (xcr0 & XCR0_AVX512) == XCR0_AVX512)
        paths |= 1 << PATH_AVX512;
    return paths;
}

#else /* !HUEFLARE_X86_VECTORS */

typedef struct LanePatterns {
    int32_t pixelStep;
} LanePatterns;

#if defined(HUEFLARE_TESTING)
static int32_t detectPaths(void)
{
    return 1 << PATH_SCALAR;
}
#endif

#endif /* HUEFLARE_X86_VECTORS */

#if defined(HUEFLARE_TESTING)
/* Set only by the testing build's hueflareTestingForcePath; -1 is automatic. */
static int32_t forcedPath = -1;
#endif

#if HUEFLARE_X86_VECTORS || defined(HUEFLARE_TESTING)
/* Asked of the CPU on the first call only; a race asks twice, stores the same. */
static int32_t availablePaths(void)
{
    enum { PATHS_KNOWN = 1 << 30 };
    static int32_t cached = 0;
    int32_t paths = __atomic_load_n(&cached, __ATOMIC_RELAXED);
    if (paths == 0) {
        paths = detectPaths() | PATHS_KNOWN;
        __atomic_store_n(&cached, paths, __ATOMIC_RELAXED);
    }
    return paths & ~PATHS_KNOWN;
}
#endif

#if HUEFLARE_X86_VECTORS
/* The widest path available, unless a test forced one. */
static enum RowPath chosenPath(void)
{
#if defined(HUEFLARE_TESTING)
    int32_t forced = __atomic_load_n(&forcedPath, __ATOMIC_RELAXED);
    if (forced >= 0)
        return (enum RowPath)forced;
#endif
    int32_t paths = availablePaths();
    for (int32_t path = PATH_COUNT - 1; path > PATH_SCALAR; --path)
        if (paths & (1 << path))
            return (enum RowPath)path;
    return PATH_SCALAR;
}
#endif

typedef void (*VectorRow)(uint16_t* first, int64_t span, const LanePatterns* lanes);

/* How one call walks its rows: a vector loop and its lane patterns, or none. */
typedef struct RowPlan {
    VectorRow vectorRow;
    LanePatterns lanes;
} RowPlan;

static void planRows(const ChromaScale* scale, int32_t channelStep, int32_t pixelStep,
                     RowPlan* plan)
{
    plan->vectorRow = NULL;
    plan->lanes.pixelStep = pixelStep;
    if (channelStep != 1 || (pixelStep != 3 && pixelStep != 4))
        return;
#if HUEFLARE_X86_VECTORS
    switch (chosenPath()) {
    case PATH_SSE2:
        plan->vectorRow = scaleRowSse2;
        break;
    case PATH_AVX:
        plan->vectorRow = scaleRowAvx;
        break;
    case PATH_AVX2:
        plan->vectorRow = scaleRowAvx2;
        break;
    case PATH_AVX512:
        plan->vectorRow = scaleRowAvx512;
        fillChromaTables(scale, pixelStep, &plan->lanes);
        return;
#if !HUEFLARE_PLAIN_SINGLE
    case PATH_AVX_FMA:
        plan->vectorRow = scaleRowAvxFma;
        break;
#endif
    default:
        return;
    }
    fillLanePatterns(scale, pixelStep, &plan->lanes);
#else
    (void)scale;
#endif
}

/* One row of `count` pixels from `first`: the vector loop when the call has
 * one and the run holds a whole vector, else the scalar definition. */
static void scaleRow(uint16_t* first, int64_t count, ptrdiff_t channelStep, ptrdiff_t pixelStep,
                     const ChromaScale* scale, const RowPlan* plan)
{
#if HUEFLARE_X86_VECTORS
    if (plan->vectorRow != NULL) {
        int64_t span = (count - 1) * pixelStep + 3;
        if (span >= LANES) {
            plan->vectorRow(first, span, &plan->lanes);
            return;
        }
    }
#else
    (void)plan;
#endif
    scaleRowScalar(first, count, channelStep, pixelStep, scale);
}

/* ------------------------------------------------------------------------ */
/* The stage                                                                */
/* ------------------------------------------------------------------------ */

/* The switch, read inside the settings lock; a missing option counts as off. */
static int readBoolOption(BibblePluginData* data, PipeData* pipe, const char* key)
{
    data->lockSettings(pipe->settings, 0);
    OptionHandle option = data->findOption(pipe->settings, key);
    int value = option != NULL && data->boolValue(option) != 0;
    data->unlockSettings(pipe->settings, 0);
    return value;
}

/* Both sliders in one lock bracket; a missing slider counts as its default.
 * The factors are worked out after the lock is given back. */
static void readFactors(BibblePluginData* data, PipeData* pipe, ChromaScale* scale)
{
    data->lockSettings(pipe->settings, 0);
    OptionHandle option = data->findOption(pipe->settings, HUEFLARE_RG);
    int32_t rg = option != NULL ? data->intValue(option) : DEFAULT_RG;
    option = data->findOption(pipe->settings, HUEFLARE_BY);
    int32_t by = option != NULL ? data->intValue(option) : DEFAULT_BY;
    data->unlockSettings(pipe->settings, 0);

    scale->factorRg = factorFromValue(rg);
    scale->factorBy = factorFromValue(by);
    scale->offsetRg = offsetFromFactor(scale->factorRg);
    scale->offsetBy = offsetFromFactor(scale->factorBy);
}

/* The host may set the cancel flag, or even swap the pointer, from another
 * thread while we run, so both are read afresh (atomically, with no ordering
 * needed) before every row; only the value 1 means stop. */
static int isCancelled(PipeData* pipe)
{
    HostBool* flag = __atomic_load_n(&pipe->cancelFlag, __ATOMIC_RELAXED);
    return flag != NULL && __atomic_load_n(flag, __ATOMIC_RELAXED) == 1;
}

static int HOST_CALL hueflareProcess(BibblePluginData* data, PipeData* pipe)
{
    if (!readBoolOption(data, pipe, HUEFLARE_ENABLED))
        return 0;

    ImageHandle image = pipe->image;
    if (image == NULL || data->imageKind(image) != FORMAT_LAB16)
        return -1;

    int32_t width = data->imageWidth(image);
    int32_t height = data->imageHeight(image);
    int32_t channelStep = data->imageChannelStep(image);
    int32_t pixelStep = data->imagePixelStep(image);
    int32_t border = data->imageBorder(image);

    ChromaScale scale;
    readFactors(data, pipe, &scale);
    RowPlan plan;
    planRows(&scale, channelStep, pixelStep, &plan);

    /* Formed in 64 bits: the host's ints must not overflow on the way. */
    int64_t pixelsPerRow = (int64_t)width + 2 * (int64_t)border;
    ptrdiff_t borderSamples = (ptrdiff_t)((int64_t)border * pixelStep);

    for (int32_t row = 0; row < height; ++row) {
        if (isCancelled(pipe))
            return 0;
        uint16_t* first = data->imageRow(image, row);
        if (pixelsPerRow > 0)
            scaleRow(first - borderSamples, pixelsPerRow, channelStep, pixelStep, &scale, &plan);
    }
    return 0;
}

/* ------------------------------------------------------------------------ */
/* Settings hooks                                                           */
/* ------------------------------------------------------------------------ */

/* The host asks before an edit goes ahead; an edit record without an owner or
 * without a change set is refused. */
static int HOST_CALL settingsAboutToChange(BibblePluginData* data, OptionData* od)
{
    (void)data;
    if (od->changeSet == NULL)
        return -1;
    if (od->owner == NULL)
        return -1;
    return 0;
}

/* Whether the edit belongs to this plug-in's stage. Both host strings are
 * released whatever the outcome. */
static int isOwnChange(BibblePluginData* data, OptionData* od)
{
    StringHandle ownName = data->newString();
    StringHandle ownerName = data->newString();
    data->setString(ownName, HUEFLARE_PLUGIN);
    data->ownerName(od->owner, ownerName);
    int own = data->compareStrings(ownerName, ownName) == 0;
    data->freeString(ownName);
    data->freeString(ownerName);
    return own;
}

/* Sets the switch and makes it part of the edit, so the host records it as
 * changed together with the slider that caused it. */
static void switchOn(BibblePluginData* data, OptionData* od)
{
    OptionHandle option = data->findOption(od->settings, HUEFLARE_ENABLED);
    if (option == NULL)
        return;
    data->setBoolValue(option, 1);
    data->changeSetAdd(od->changeSet, option);
}

/* Moving either slider while the switch is off turns the switch on within the
 * same edit. No settings lock here: the host calls this inside its edit. */
static int HOST_CALL settingsDoDependancies(BibblePluginData* data, OptionData* od)
{
    if (od->owner == NULL)
        return -1;
    if (!isOwnChange(data, od))
        return 0;
    /* The host only sends change-set-less edits that settingsAboutToChange
     * refused; should one reach us anyway, there is nothing to add the switch
     * to, so end quietly rather than hand the host a null change set. */
    if (od->changeSet == NULL)
        return 0;
    /* The user set the switch in this very edit: leave it as they set it. */
    if (data->changeSetHas(od->changeSet, HUEFLARE_ENABLED))
        return 0;
    OptionHandle option = data->findOption(od->settings, HUEFLARE_ENABLED);
    if (option == NULL || data->boolValue(option) != 0)
        return 0;
    if (!data->changeSetHas(od->changeSet, HUEFLARE_BY)
        && !data->changeSetHas(od->changeSet, HUEFLARE_RG))
        return 0;
    switchOn(data, od);
    return 0;
}

/* ------------------------------------------------------------------------ */
/* Registration and the About box                                           */
/* ------------------------------------------------------------------------ */

/* Nothing to prepare: the host keeps every value. */
static int HOST_CALL initializeOptions(BibblePluginData* data, OptionData* od)
{
    (void)data;
    (void)od;
    return 0;
}

static const char ABOUT_TITLE[] = "About Vivanto Plugin";
static const char ABOUT_BODY[] =
    "<center><h2>About Vivanto</h2></center>"
    "<p><center>Version: 0.9</center></p>"
    "<p>Vivanto is a plugin that allows for easy color adjustment without changing the "
    "exposure and contrast of the image. </p>"
    ""
    "<p><i>I always appreciate comments on improvents or see examples of what you do with "
    "Vivanto. Donations are also welcomed. This might tempt me to add more features, or even "
    "create new plugins.</i></p>";

static int HOST_CALL handleAbout(BibblePluginData* data, OptionData* od)
{
    (void)od;
    data->showAboutBox(ABOUT_TITLE, ABOUT_BODY);
    return 0;
}

/* ------------------------------------------------------------------------ */
/* Exported entry points                                                    */
/* ------------------------------------------------------------------------ */

HUEFLARE_EXPORT int HOST_CALL getVersion(void)
{
    return INTERFACE_VERSION;
}

/* Defines the three options and hands the host the five hooks. Nothing is
 * kept and nothing guards against a second call: the host decides. */
HUEFLARE_EXPORT int HOST_CALL RegisterPlugin(BibblePluginData* data)
{
    data->clearedWord = 0;
    data->interfaceVersion = INTERFACE_VERSION;

    data->defineBoolOption(data->optionsHandle, HUEFLARE_ENABLED, HUEFLARE_GROUP, LABEL_ENABLED,
                           DEFAULT_ENABLED, 0);
    data->defineIntOption(data->optionsHandle, HUEFLARE_RG, HUEFLARE_GROUP, LABEL_RG, DEFAULT_RG,
                          0);
    data->defineIntOption(data->optionsHandle, HUEFLARE_BY, HUEFLARE_GROUP, LABEL_BY, DEFAULT_BY,
                          0);

    data->setInitializeOptionsHook(data->pluginHandle, initializeOptions);
    data->addSettingsHook(data->pluginHandle, settingsAboutToChange);
    data->addAboutHandler(data->pluginHandle, handleAbout, HUEFLARE_ABOUT);
    data->addSettingsHook(data->pluginHandle, settingsDoDependancies);
    data->addProcess(data->pluginHandle, hueflareProcess, PROCESS_FIRST, PROCESS_SECOND);
    return 0;
}

/* The plug-in owns nothing, so there is nothing to release. */
HUEFLARE_EXPORT int HOST_CALL unRegisterPlugin(void)
{
    return 0;
}

#if defined(HUEFLARE_TESTING)
/* Only in the testing build (hueflare_testing), never in a shipped library:
 * lets tests and benchmarks run each row loop the CPU offers. */

/* One bit per row path (0 scalar, 1 SSE2, 2 AVX, 3 AVX with FMA, 4 AVX2,
 * 5 AVX-512) that this build and CPU can run. */
HUEFLARE_EXPORT int32_t hueflareTestingPaths(void)
{
    return availablePaths();
}

/* Makes every later call in the process use `path`, or choose by itself again
 * for -1. Answers 0, or -1 (and changes nothing) for a path not available. */
HUEFLARE_EXPORT int32_t hueflareTestingForcePath(int32_t path)
{
    if (path != -1 && (path < 0 || path >= PATH_COUNT || (availablePaths() & (1 << path)) == 0))
        return -1;
    __atomic_store_n(&forcedPath, path, __ATOMIC_RELAXED);
    return 0;
}

HUEFLARE_EXPORT const char* hueflareTestingPathName(int32_t path)
{
    static const char* const names[PATH_COUNT] = {"scalar",  "sse2", "avx",
                                                  "avx_fma", "avx2", "avx512"};
    return path >= 0 && path < PATH_COUNT ? names[path] : "";
}
#endif
