#include "oracle.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <stdexcept>

namespace oracle {

namespace {

// mantissa x 2^exponent, exactly.
struct Dyadic {
    int64_t mantissa = 0;
    int exponent = 0;
};

Dyadic fromFloat(float value)
{
    int exponent = 0;
    float fraction = std::frexp(value, &exponent); // value = fraction x 2^exponent, exactly
    return {static_cast<int64_t>(std::ldexp(fraction, 24)), exponent - 24};
}

Dyadic times(Dyadic value, int64_t integer)
{
    return {value.mantissa * integer, value.exponent};
}

int bitLength(uint64_t value)
{
    return 64 - std::countl_zero(value);
}

Dyadic plus(Dyadic a, Dyadic b)
{
    if (a.mantissa == 0)
        return b;
    if (b.mantissa == 0)
        return a;
    if (a.exponent < b.exponent)
        std::swap(a, b);
    int shift = a.exponent - b.exponent;
    if (shift + bitLength(static_cast<uint64_t>(std::abs(a.mantissa))) > 62)
        throw std::overflow_error("oracle: sum does not fit 63 bits");
    return {a.mantissa * (int64_t{1} << shift) + b.mantissa, b.exponent};
}

// Rounds magnitude x 2^exponent (with `sticky` set when bits below it were
// dropped) to 24 significant bits, ties to even.
float nearestFloat(uint64_t magnitude, int exponent, bool sticky, bool negative)
{
    if (magnitude == 0)
        return 0.0f;
    int shift = std::max(0, bitLength(magnitude) - 24);
    uint64_t kept = magnitude >> shift;
    if (shift > 0) {
        uint64_t dropped = magnitude - (kept << shift);
        uint64_t half = uint64_t{1} << (shift - 1);
        if (dropped > half || (dropped == half && (sticky || (kept & 1) != 0)))
            ++kept;
    } else if (sticky) {
        throw std::logic_error("oracle: inexact value with fewer than 24 bits");
    }
    float result = std::ldexp(static_cast<float>(kept), exponent + shift);
    return negative ? -result : result;
}

float nearestFloat(Dyadic value)
{
    bool negative = value.mantissa < 0;
    uint64_t magnitude = static_cast<uint64_t>(negative ? -value.mantissa : value.mantissa);
    return nearestFloat(magnitude, value.exponent, false, negative);
}

// floor(value + 1/2) for a value >= 0.
int64_t roundHalfUp(Dyadic value)
{
    if (value.exponent >= 0)
        return value.mantissa << value.exponent;
    int drop = -value.exponent;
    if (drop > 62)
        return 0;
    return (value.mantissa + (int64_t{1} << (drop - 1))) >> drop;
}

int32_t clampSlider(int32_t slider)
{
    return std::clamp(slider, -100, 600);
}

uint16_t clampToSample(float w, Dyadic exact)
{
    if (w <= 0.0f)
        return 0;
    if (w >= 65535.0f)
        return 65535;
    return static_cast<uint16_t>(roundHalfUp(exact));
}

} // namespace

float factor(int32_t slider)
{
    // (v + 100) / 100 as a long division carried 40 bits past the point.
    uint64_t numerator = static_cast<uint64_t>(clampSlider(slider) + 100) << 40;
    uint64_t quotient = numerator / 100;
    bool sticky = numerator % 100 != 0;
    return nearestFloat(quotient, -40, sticky, false);
}

namespace {

struct ExactScale {
    Dyadic factor;
    Dyadic offset;
};

ExactScale exactScale(int32_t slider)
{
    Dyadic s = fromFloat(factor(slider));
    return {s, fromFloat(nearestFloat(plus({32767, 0}, times(s, -32767))))};
}

uint16_t exactSample(uint16_t sample, const ExactScale& scale)
{
    float w = nearestFloat(plus(times(scale.factor, sample), scale.offset));
    return clampToSample(w, fromFloat(w));
}

} // namespace

uint16_t exactSample(uint16_t sample, int32_t slider)
{
    return exactSample(sample, exactScale(slider));
}

uint16_t plainSample(uint16_t sample, int32_t slider)
{
    volatile float s = factor(slider);
    volatile float negated = s * -32767.0f;
    volatile float offset = negated + 32767.0f;
    volatile float x = static_cast<float>(sample);
    volatile float product = x * s;
    volatile float w = product + offset;
    if (w <= 0.0f)
        return 0;
    if (w >= 65535.0f)
        return 65535;
    volatile float rounded = w + 0.5f;
    return static_cast<uint16_t>(static_cast<int32_t>(rounded));
}

uint16_t sample(Evaluation evaluation, uint16_t x, int32_t slider)
{
    return evaluation == Evaluation::Exact ? exactSample(x, slider) : plainSample(x, slider);
}

std::vector<uint16_t> table(Evaluation evaluation, int32_t slider)
{
    std::vector<uint16_t> out(65536);
    ExactScale scale = exactScale(slider);
    for (uint32_t x = 0; x < 65536; ++x) {
        auto value = static_cast<uint16_t>(x);
        out[x] = evaluation == Evaluation::Exact ? exactSample(value, scale)
                                                 : plainSample(value, slider);
    }
    return out;
}

Evaluation builtEvaluation()
{
#if HUEFLARE_PLAIN_SINGLE
    return Evaluation::PlainSingle;
#else
    return Evaluation::Exact;
#endif
}

} // namespace oracle
