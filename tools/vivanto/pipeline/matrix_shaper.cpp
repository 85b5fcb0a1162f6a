#include "matrix_shaper.h"

#include "working_image.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>

#if defined(__x86_64__) || defined(__i386__)
#define VIVANTO_X86 1
#else
#define VIVANTO_X86 0
#endif

namespace vivanto {

namespace {

using Curve = MatrixShaper::Curve;

// Pixels per pass of the hot loops: their scratch rows stay in the first-level cache.
constexpr std::size_t kBatch = 256;

// What the way back with the gamut test reads of a shaper.
struct GamutTest {
    const Curve* const (&curves)[3];
    const double (&fromXyz)[3][3];
    const double (&low)[3];
    const double (&high)[3];
    int maximum;
};

// CIE L*a*b* as LittleCMS defines it (cmsXYZ2Lab, cmsLab2XYZ), relative to the D50 white.
constexpr double kLabLimit = (24.0 / 116.0) * (24.0 / 116.0) * (24.0 / 116.0);
constexpr double kLabSlope = 841.0 / 108.0;
constexpr double kLabOffset = 16.0 / 116.0;

// The cube root of t for t above kLabLimit, to about 1e-15: a guess from the
// float's bits, then two Halley steps. Plain arithmetic, so that the loop
// around it vectorises; std::cbrt would be a call per sample.
[[gnu::always_inline]] inline double cubeRoot(double t)
{
    auto bits = std::bit_cast<uint32_t>(static_cast<float>(t));
    double y = std::bit_cast<float>(bits / 3 + 0x2a508c2du);
    for (int step = 0; step < 2; ++step) {
        double cube = y * y * y;
        y = y * (cube + 2.0 * t) / (2.0 * cube + t);
    }
    return y;
}

[[gnu::always_inline]] inline double labF(double t)
{
    // The cube root is computed either way and discarded below the limit,
    // where it may be garbage: a select, not a branch.
    double root = cubeRoot(t);
    double straight = kLabSlope * t + kLabOffset;
    return t <= kLabLimit ? straight : root;
}

[[gnu::always_inline]] inline double labInverseF(double t)
{
    double straight = (t - kLabOffset) / kLabSlope;
    double cube = t * t * t;
    return t <= 24.0 / 116.0 ? straight : cube;
}

// Half up, then clamped to 0..65535; truncation is the floor once clamped
// above zero. Written as selects so that the loops around it vectorise.
[[gnu::always_inline]] inline uint16_t encoded(double value)
{
    double up = value + 0.5;
    up = up > 0.0 ? up : 0.0;
    up = up < 65535.0 ? up : 65535.0;
    return static_cast<uint16_t>(static_cast<int32_t>(up));
}

// The cell of the search table for a linear value: the square root spreads
// the codes of gamma-like curves evenly over the cells.
[[gnu::always_inline]] inline int32_t searchCell(double value, int32_t cells)
{
    double clamped = value > 0.0 ? (value < 1.0 ? value : 1.0) : 0.0;
    auto cell = static_cast<int32_t>(std::sqrt(clamped) * cells);
    return cell < cells ? cell : cells - 1;
}

int32_t searchCells(int maximum)
{
    return maximum == 255 ? 4096 : 65536;
}

// The code whose curve value is nearest to `value`, ties to the higher one:
// the number of codes c >= 1 whose midpoint (c - 0.5) lies at or below it.
// The search starts from a lower bound and takes at most `steps` steps, each
// a compare and an add rather than a branch the processor would mispredict.
[[gnu::always_inline]] inline int nearestCode(const Curve& curve, double value, int32_t cell)
{
    const double* midpoint = curve.midpoint.data();
    int code = curve.searchFrom[std::size_t(cell)];
    for (int step = 0; step < curve.steps; ++step)
        code += midpoint[code + 1] <= value ? 1 : 0;
    return code;
}

// Each sample's linear value. Kept out of the AVX2 build on purpose: there it
// would become gathers, which are slower than scalar loads on many processors.
template <typename Sample>
[[gnu::noinline]] void lookUp(const Sample* in, std::size_t count, const Curve* const (&curves)[3],
                              double* red, double* green, double* blue)
{
    const double* redValue = curves[0]->value.data();
    const double* greenValue = curves[1]->value.data();
    const double* blueValue = curves[2]->value.data();
    for (std::size_t i = 0; i < count; ++i) {
        red[i] = redValue[in[3 * i]];
        green[i] = greenValue[in[3 * i + 1]];
        blue[i] = blueValue[in[3 * i + 2]];
    }
}

// Whether the working encoding's clamp changes a chroma sample: it lies
// below -0.5 or at or above 65535.5 before rounding.
[[gnu::always_inline]] inline bool beyondEncoding(double value)
{
    return value < -0.5 || value >= 65535.5;
}

// The way in for one batch: the hot loop. Scalar code that the compiler
// vectorises; it is compiled once for the baseline and once for AVX2. With
// Count, it also returns how many pixels the working encoding clamped.
template <bool Count, typename Sample>
[[gnu::always_inline]] inline std::size_t toWorkingBatch(const Sample* in, std::size_t count,
                                                         const Curve* const (&curves)[3],
                                                         const double (&m)[3][3], uint16_t* out)
{
    double red[kBatch], green[kBatch], blue[kBatch];
    lookUp(in, count, curves, red, green, blue);
    std::size_t clamped = 0;
    for (std::size_t i = 0; i < count; ++i) {
        double fx = labF(m[0][0] * red[i] + m[0][1] * green[i] + m[0][2] * blue[i]);
        double fy = labF(m[1][0] * red[i] + m[1][1] * green[i] + m[1][2] * blue[i]);
        double fz = labF(m[2][0] * red[i] + m[2][1] * green[i] + m[2][2] * blue[i]);
        double lightness = 116.0 * fy - 16.0;
        double a = kNeutral + 500.0 * (fx - fy) * kChromaPerUnit;
        double b = kNeutral + 200.0 * (fy - fz) * kChromaPerUnit;
        out[3 * i] = encoded(lightness * kLightnessPerUnit);
        out[3 * i + 1] = encoded(a);
        out[3 * i + 2] = encoded(b);
        if constexpr (Count)
            clamped += (beyondEncoding(a) || beyondEncoding(b)) ? 1U : 0U;
    }
    return clamped;
}

// Working samples to linear values of the output's channels, unclamped.
[[gnu::always_inline]] inline void linearBatch(const uint16_t* in, std::size_t count,
                                               const double (&m)[3][3], double (&linear)[3][kBatch])
{
    for (std::size_t i = 0; i < count; ++i) {
        double lightness = in[3 * i] / kLightnessPerUnit;
        double a = (in[3 * i + 1] - double{kNeutral}) / kChromaPerUnit;
        double b = (in[3 * i + 2] - double{kNeutral}) / kChromaPerUnit;
        double fy = (lightness + 16.0) / 116.0;
        double x = labInverseF(fy + 0.002 * a);
        double y = labInverseF(fy);
        double z = labInverseF(fy - 0.005 * b);
        for (int channel = 0; channel < 3; ++channel)
            linear[channel][i] = m[channel][0] * x + m[channel][1] * y + m[channel][2] * z;
    }
}

// Linear values to the nearest codes: the search per channel is scalar.
template <typename Sample>
[[gnu::always_inline]] inline void codesOf(const double (&linear)[3][kBatch], std::size_t count,
                                           const Curve* const (&curves)[3], int maximum,
                                           Sample* out)
{
    int32_t cell[3][kBatch];
    int32_t cells = searchCells(maximum);
    for (std::size_t i = 0; i < count; ++i)
        for (int channel = 0; channel < 3; ++channel)
            cell[channel][i] = searchCell(linear[channel][i], cells);
    for (std::size_t i = 0; i < count; ++i)
        for (int channel = 0; channel < 3; ++channel)
            out[3 * i + std::size_t(channel)] = static_cast<Sample>(
                nearestCode(*curves[channel], linear[channel][i], cell[channel][i]));
}

// The gamut test needs no search through the curve: the limits are linear
// values, so the loop is plain arithmetic and vectorises.
[[gnu::always_inline]] inline std::size_t outsideOf(const double (&linear)[3][kBatch],
                                                    std::size_t count, const double (&low)[3],
                                                    const double (&high)[3], uint8_t* outside)
{
    std::size_t found = 0;
    for (std::size_t i = 0; i < count; ++i) {
        bool out = false;
        for (int channel = 0; channel < 3; ++channel)
            out = out || linear[channel][i] < low[channel] || linear[channel][i] > high[channel];
        outside[i] = out ? 1 : 0;
        found += out ? 1U : 0U;
    }
    return found;
}

// The way back for one batch: decoding and the inverse matrix vectorise.
template <typename Sample>
[[gnu::always_inline]] inline void
fromWorkingBatch(const uint16_t* in, std::size_t count, const Curve* const (&curves)[3],
                 const double (&m)[3][3], int maximum, Sample* out)
{
    double linear[3][kBatch];
    linearBatch(in, count, m, linear);
    codesOf(linear, count, curves, maximum, out);
}

[[gnu::always_inline]] inline std::size_t outOfGamutBatch(const uint16_t* in, std::size_t count,
                                                          const double (&m)[3][3],
                                                          const double (&low)[3],
                                                          const double (&high)[3], uint8_t* outside)
{
    double linear[3][kBatch];
    linearBatch(in, count, m, linear);
    return outsideOf(linear, count, low, high, outside);
}

// Both from one decoding, for a preview that counts and marks what it shows.
template <typename Sample>
[[gnu::always_inline]] inline std::size_t
fromWorkingGamutBatch(const uint16_t* in, std::size_t count, const GamutTest& test, Sample* out,
                      uint8_t* outside)
{
    double linear[3][kBatch];
    linearBatch(in, count, test.fromXyz, linear);
    codesOf(linear, count, test.curves, test.maximum, out);
    return outsideOf(linear, count, test.low, test.high, outside);
}

// A linear value as a code of the curve, with its fraction: between codes the
// curve is taken as straight, above the top it goes on with its last step,
// and below its foot it is mirrored, as extended-range encodings do (a pure
// power curve has no slope at zero to go on with). `value` is at or above the
// foot here (mirrored by the caller), and `cell` its search cell.
[[gnu::always_inline]] inline double codeAbove(const Curve& curve, double value, int32_t cell,
                                               int maximum)
{
    const double* at = curve.value.data();
    const double top = at[maximum];
    if (value > top) {
        double step = top - at[maximum - 1];
        return step > 0 ? maximum + (value - top) / step : maximum;
    }
    int code = nearestCode(curve, value, cell);
    code -= (code > 0 && at[code] > value) ? 1 : 0;
    if (code >= maximum)
        return maximum;
    double step = at[code + 1] - at[code];
    return step > 0 ? code + (value - at[code]) / step : code;
}

// The mirroring and the search cells vectorise in the first loop, as the
// rounded way back's do; the search itself is scalar.
[[gnu::always_inline]] inline void unclampedBatch(const uint16_t* in, std::size_t count,
                                                  const Curve* const (&curves)[3],
                                                  const double (&m)[3][3], int maximum, float* out)
{
    double linear[3][kBatch];
    int32_t cell[3][kBatch];
    double sign[3][kBatch];
    linearBatch(in, count, m, linear);
    int32_t cells = searchCells(maximum);
    for (int channel = 0; channel < 3; ++channel) {
        const double bottom = curves[channel]->value[0];
        for (std::size_t i = 0; i < count; ++i) {
            double value = linear[channel][i];
            bool below = value < bottom;
            value = below ? 2.0 * bottom - value : value;
            linear[channel][i] = value;
            sign[channel][i] = below ? -1.0 : 1.0;
            cell[channel][i] = searchCell(value, cells);
        }
    }
    for (std::size_t i = 0; i < count; ++i)
        for (int channel = 0; channel < 3; ++channel)
            out[3 * i + std::size_t(channel)] = static_cast<float>(
                sign[channel][i]
                * codeAbove(*curves[channel], linear[channel][i], cell[channel][i], maximum));
}

void unclampedBaseline(const uint16_t* in, std::size_t count, const Curve* const (&curves)[3],
                       const double (&m)[3][3], int maximum, float* out)
{
    unclampedBatch(in, count, curves, m, maximum, out);
}

#if VIVANTO_X86
[[gnu::target("avx2")]] void unclampedAvx2(const uint16_t* in, std::size_t count,
                                           const Curve* const (&curves)[3], const double (&m)[3][3],
                                           int maximum, float* out)
{
    unclampedBatch(in, count, curves, m, maximum, out);
}
#endif

std::size_t outOfGamutBaseline(const uint16_t* in, std::size_t count, const double (&m)[3][3],
                               const double (&low)[3], const double (&high)[3], uint8_t* outside)
{
    return outOfGamutBatch(in, count, m, low, high, outside);
}

#if VIVANTO_X86
[[gnu::target("avx2")]] std::size_t outOfGamutAvx2(const uint16_t* in, std::size_t count,
                                                   const double (&m)[3][3], const double (&low)[3],
                                                   const double (&high)[3], uint8_t* outside)
{
    return outOfGamutBatch(in, count, m, low, high, outside);
}
#endif

template <typename Sample>
std::size_t fromWorkingGamutBaseline(const uint16_t* in, std::size_t count, const GamutTest& test,
                                     Sample* out, uint8_t* outside)
{
    return fromWorkingGamutBatch(in, count, test, out, outside);
}

#if VIVANTO_X86
template <typename Sample>
[[gnu::target("avx2")]] std::size_t fromWorkingGamutAvx2(const uint16_t* in, std::size_t count,
                                                         const GamutTest& test, Sample* out,
                                                         uint8_t* outside)
{
    return fromWorkingGamutBatch(in, count, test, out, outside);
}
#endif

template <bool Count, typename Sample>
std::size_t toWorkingBaseline(const Sample* in, std::size_t count, const Curve* const (&curves)[3],
                              const double (&m)[3][3], uint16_t* out)
{
    return toWorkingBatch<Count>(in, count, curves, m, out);
}

template <typename Sample>
void fromWorkingBaseline(const uint16_t* in, std::size_t count, const Curve* const (&curves)[3],
                         const double (&m)[3][3], int maximum, Sample* out)
{
    fromWorkingBatch(in, count, curves, m, maximum, out);
}

#if VIVANTO_X86
template <bool Count, typename Sample>
[[gnu::target("avx2")]] std::size_t toWorkingAvx2(const Sample* in, std::size_t count,
                                                  const Curve* const (&curves)[3],
                                                  const double (&m)[3][3], uint16_t* out)
{
    return toWorkingBatch<Count>(in, count, curves, m, out);
}

template <typename Sample>
[[gnu::target("avx2")]] void fromWorkingAvx2(const uint16_t* in, std::size_t count,
                                             const Curve* const (&curves)[3],
                                             const double (&m)[3][3], int maximum, Sample* out)
{
    fromWorkingBatch(in, count, curves, m, maximum, out);
}
#endif

template <typename Sample>
std::size_t fromWorkingGamut(bool vectorised, const uint16_t* in, std::size_t count,
                             const GamutTest& test, Sample* out, uint8_t* outside)
{
#if VIVANTO_X86
    if (vectorised)
        return fromWorkingGamutAvx2(in, count, test, out, outside);
#else
    (void)vectorised;
#endif
    return fromWorkingGamutBaseline(in, count, test, out, outside);
}

bool cpuHasAvx2()
{
#if VIVANTO_X86
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
#else
    return false;
#endif
}

// A tone curve as LittleCMS read it: parametric ones through LittleCMS's own
// evaluation (which its transforms use too), tabulated ones interpolated
// linearly in double between their 16-bit entries.
class ToneCurve {
public:
    explicit ToneCurve(const cmsToneCurve* curve)
        : curve_(curve)
    {
        if (cmsGetToneCurveParametricType(curve) == 0) {
            // A TRC tag holds either a parametric curve or a table: this is a table.
            cmsUInt32Number entries = cmsGetToneCurveEstimatedTableEntries(curve);
            const cmsUInt16Number* table = cmsGetToneCurveEstimatedTable(curve);
            if (table != nullptr && entries >= 2)
                table_.assign(table, table + entries);
        }
    }
    bool usable() const { return cmsGetToneCurveParametricType(curve_) != 0 || !table_.empty(); }
    bool sameAs(const ToneCurve& other) const
    {
        int type = cmsGetToneCurveParametricType(curve_);
        if (type != cmsGetToneCurveParametricType(other.curve_) || table_ != other.table_)
            return false;
        const cmsFloat64Number* mine = cmsGetToneCurveParams(curve_);
        const cmsFloat64Number* theirs = cmsGetToneCurveParams(other.curve_);
        return type == 0
            || (mine != nullptr && theirs != nullptr && std::equal(mine, mine + 10, theirs));
    }

    // x is a code divided by the maximum, passed to LittleCMS as its
    // transforms pass it: rounded to float.
    double operator()(double x) const
    {
        if (table_.empty())
            return cmsEvalToneCurveFloat(curve_, static_cast<float>(x));
        double position = std::clamp(x, 0.0, 1.0) * double(table_.size() - 1);
        auto below = std::min(static_cast<std::size_t>(position), table_.size() - 2);
        double fraction = position - double(below);
        return (table_[below] + fraction * (table_[below + 1] - table_[below])) / 65535.0;
    }

private:
    const cmsToneCurve* curve_;
    std::vector<double> table_;
};

// The curve at every code and at every midpoint between codes, and the
// search table over them; false if it is not monotone rising.
bool tabulate(const ToneCurve& curve, int maximum, Curve& out)
{
    auto codes = std::size_t(maximum) + 1;
    out.value.resize(codes);
    // [0] and [maximum + 1] bound the search: no code lies below 0 or above the maximum.
    out.midpoint.resize(codes + 1);
    out.midpoint[0] = -std::numeric_limits<double>::infinity();
    out.midpoint[codes] = std::numeric_limits<double>::infinity();
    for (std::size_t code = 0; code < codes; ++code) {
        out.value[code] = curve(double(code) / maximum);
        if (code > 0)
            out.midpoint[code] = curve((double(code) - 0.5) / maximum);
    }
    for (std::size_t code = 1; code < codes; ++code)
        if (!(out.value[code - 1] <= out.midpoint[code] && out.midpoint[code] <= out.value[code]))
            return false;
    // Cell k holds the values whose square root, times the cells, rounds
    // down to k: from about (k / cells)^2 on. Its search starts from the
    // codes whose midpoint lies below that start, less a margin for the
    // rounding of the square root, and cell 0 from none.
    int32_t cells = searchCells(maximum);
    // The limits rise from cell to cell, so the counts are kept, not searched.
    int below = 0, belowEnd = 0;
    auto countBelow = [&](int& count, double limit) {
        while (count < maximum && out.midpoint[std::size_t(count) + 1] <= limit)
            ++count;
        return count;
    };
    out.searchFrom.resize(std::size_t(cells));
    out.steps = 0;
    for (int32_t cell = 0; cell < cells; ++cell) {
        double start = double(cell) / cells, end = double(cell + 1) / cells;
        int from = cell == 0 ? 0 : countBelow(below, start * start * (1.0 - 1e-12));
        int to = cell + 1 == cells ? maximum : countBelow(belowEnd, end * end * (1.0 + 1e-12));
        out.searchFrom[std::size_t(cell)] = static_cast<uint16_t>(from);
        out.steps = std::max(out.steps, to - from);
    }
    return true;
}

bool plainShaper(cmsHPROFILE profile)
{
    // A profile with LUTs is converted through them, whatever else it holds.
    const cmsTagSignature luts[] = {
        cmsSigAToB0Tag, cmsSigAToB1Tag, cmsSigAToB2Tag, cmsSigBToA0Tag, cmsSigBToA1Tag,
        cmsSigBToA2Tag, cmsSigDToB0Tag, cmsSigDToB1Tag, cmsSigDToB2Tag, cmsSigDToB3Tag,
        cmsSigBToD0Tag, cmsSigBToD1Tag, cmsSigBToD2Tag, cmsSigBToD3Tag,
    };
    if (cmsGetPCS(profile) != cmsSigXYZData)
        return false;
    return std::none_of(std::begin(luts), std::end(luts),
                        [&](cmsTagSignature tag) { return cmsIsTag(profile, tag) != 0; });
}

bool inverted(const double (&m)[3][3], double (&inverse)[3][3])
{
    double cofactor[3][3];
    for (int row = 0; row < 3; ++row)
        for (int column = 0; column < 3; ++column) {
            int r0 = (row + 1) % 3, r1 = (row + 2) % 3;
            int c0 = (column + 1) % 3, c1 = (column + 2) % 3;
            cofactor[row][column] = m[r0][c0] * m[r1][c1] - m[r0][c1] * m[r1][c0];
        }
    double determinant =
        m[0][0] * cofactor[0][0] + m[0][1] * cofactor[0][1] + m[0][2] * cofactor[0][2];
    if (!(std::abs(determinant) > 1e-9))
        return false;
    for (int row = 0; row < 3; ++row)
        for (int column = 0; column < 3; ++column)
            inverse[row][column] = cofactor[column][row] / determinant;
    return true;
}

} // namespace

std::unique_ptr<MatrixShaper> MatrixShaper::tryMake(cmsHPROFILE profile, bool grey, int bits,
                                                    Instructions instructions)
{
    if (!plainShaper(profile))
        return nullptr;
    std::unique_ptr<MatrixShaper> shaper(new MatrixShaper());
    shaper->grey_ = grey;
    shaper->bits_ = bits;
    shaper->vectorised_ = instructions == Instructions::Best && cpuHasAvx2();
    int maximum = bits == 16 ? 65535 : 255;
    const cmsTagSignature curveTags[3] = {cmsSigRedTRCTag, cmsSigGreenTRCTag, cmsSigBlueTRCTag};
    std::vector<ToneCurve> toneCurves;
    for (int channel = 0; channel < (grey ? 1 : 3); ++channel) {
        auto* curve = static_cast<const cmsToneCurve*>(
            cmsReadTag(profile, grey ? cmsSigGrayTRCTag : curveTags[channel]));
        if (curve == nullptr)
            return nullptr;
        toneCurves.emplace_back(curve);
        if (!toneCurves.back().usable())
            return nullptr;
        // Channels with the same curve (most profiles) share its tables,
        // made once and taking a third of the cache.
        shaper->curves_[channel] = &shaper->tables_[channel];
        for (int before = 0; before < channel; ++before)
            if (toneCurves[std::size_t(before)].sameAs(toneCurves.back())) {
                shaper->curves_[channel] = shaper->curves_[before];
                break;
            }
        if (shaper->curves_[channel] == &shaper->tables_[channel]
            && !tabulate(toneCurves.back(), maximum, shaper->tables_[channel]))
            return nullptr;
    }

    if (grey) {
        // XYZ is the white times the curve's value, so L* follows from Y alone
        // and a* = b* = 0; the way back needs only L*.
        const Curve& curve = shaper->tables_[0];
        shaper->greyLightness_.resize(curve.value.size());
        for (std::size_t code = 0; code < curve.value.size(); ++code)
            shaper->greyLightness_[code] =
                encoded((116.0 * labF(curve.value[code]) - 16.0) * kLightnessPerUnit);
        shaper->greyCode_.resize(65536);
        for (std::size_t sample = 0; sample < 65536; ++sample) {
            double y = labInverseF((double(sample) / kLightnessPerUnit + 16.0) / 116.0);
            shaper->greyCode_[sample] =
                static_cast<uint16_t>(nearestCode(curve, y, searchCell(y, searchCells(maximum))));
        }
        return shaper;
    }

    if (cmsIsMatrixShaper(profile) == 0)
        return nullptr;
    const cmsTagSignature colorantTags[3] = {cmsSigRedColorantTag, cmsSigGreenColorantTag,
                                             cmsSigBlueColorantTag};
    const cmsCIEXYZ* white = cmsD50_XYZ();
    const double whiteXyz[3] = {white->X, white->Y, white->Z};
    double toXyz[3][3];
    for (int column = 0; column < 3; ++column) {
        auto* colorant = static_cast<const cmsCIEXYZ*>(cmsReadTag(profile, colorantTags[column]));
        if (colorant == nullptr)
            return nullptr;
        toXyz[0][column] = colorant->X;
        toXyz[1][column] = colorant->Y;
        toXyz[2][column] = colorant->Z;
    }
    if (!inverted(toXyz, shaper->fromXyz_))
        return nullptr;
    for (int row = 0; row < 3; ++row)
        for (int column = 0; column < 3; ++column) {
            shaper->toXyz_[row][column] = toXyz[row][column] / whiteXyz[row];
            shaper->fromXyz_[row][column] *= whiteXyz[column];
        }
    shaper->setGamutLimits();
    return shaper;
}

void MatrixShaper::toWorking(const void* samples, uint16_t* working, std::size_t pixels) const
{
    if (!grey_) {
        toWorkingRgb<false>(samples, working, pixels);
        return;
    }
    const uint16_t* lightness = greyLightness_.data();
    for (std::size_t i = 0; i < pixels; ++i) {
        std::size_t code = bits_ == 16 ? static_cast<const uint16_t*>(samples)[i]
                                       : static_cast<const uint8_t*>(samples)[i];
        working[3 * i] = lightness[code];
        working[3 * i + 1] = kNeutral;
        working[3 * i + 2] = kNeutral;
    }
}

void MatrixShaper::fromWorking(const uint16_t* working, void* samples, std::size_t pixels) const
{
    if (!grey_) {
        fromWorkingRgb(working, samples, pixels);
        return;
    }
    const uint16_t* code = greyCode_.data();
    for (std::size_t i = 0; i < pixels; ++i) {
        if (bits_ == 16)
            static_cast<uint16_t*>(samples)[i] = code[working[3 * i]];
        else
            static_cast<uint8_t*>(samples)[i] = static_cast<uint8_t>(code[working[3 * i]]);
    }
}

template <bool Count>
std::size_t MatrixShaper::toWorkingRgb(const void* samples, uint16_t* working,
                                       std::size_t pixels) const
{
    std::size_t clamped = 0;
    for (std::size_t done = 0; done < pixels; done += kBatch) {
        std::size_t count = std::min(kBatch, pixels - done);
        uint16_t* out = working + 3 * done;
        if (bits_ == 16) {
            const uint16_t* in = static_cast<const uint16_t*>(samples) + 3 * done;
#if VIVANTO_X86
            if (vectorised_) {
                clamped += toWorkingAvx2<Count>(in, count, curves_, toXyz_, out);
                continue;
            }
#endif
            clamped += toWorkingBaseline<Count>(in, count, curves_, toXyz_, out);
        } else {
            const uint8_t* in = static_cast<const uint8_t*>(samples) + 3 * done;
#if VIVANTO_X86
            if (vectorised_) {
                clamped += toWorkingAvx2<Count>(in, count, curves_, toXyz_, out);
                continue;
            }
#endif
            clamped += toWorkingBaseline<Count>(in, count, curves_, toXyz_, out);
        }
    }
    return clamped;
}

void MatrixShaper::fromWorkingRgb(const uint16_t* working, void* samples, std::size_t pixels) const
{
    int maximum = bits_ == 16 ? 65535 : 255;
    for (std::size_t done = 0; done < pixels; done += kBatch) {
        std::size_t count = std::min(kBatch, pixels - done);
        const uint16_t* in = working + 3 * done;
        if (bits_ == 16) {
            uint16_t* out = static_cast<uint16_t*>(samples) + 3 * done;
#if VIVANTO_X86
            if (vectorised_) {
                fromWorkingAvx2(in, count, curves_, fromXyz_, maximum, out);
                continue;
            }
#endif
            fromWorkingBaseline(in, count, curves_, fromXyz_, maximum, out);
        } else {
            uint8_t* out = static_cast<uint8_t*>(samples) + 3 * done;
#if VIVANTO_X86
            if (vectorised_) {
                fromWorkingAvx2(in, count, curves_, fromXyz_, maximum, out);
                continue;
            }
#endif
            fromWorkingBaseline(in, count, curves_, fromXyz_, maximum, out);
        }
    }
}

std::size_t MatrixShaper::toWorkingCounted(const void* samples, uint16_t* working,
                                           std::size_t pixels) const
{
    if (!grey_)
        return toWorkingRgb<true>(samples, working, pixels);
    toWorking(samples, working, pixels); // grey has no chroma to clamp
    return 0;
}

void MatrixShaper::fromWorkingUnclamped(const uint16_t* working, float* codes,
                                        std::size_t pixels) const
{
    if (grey_) {
        // Every lightness sample lies within the grey's range: its code is exact.
        for (std::size_t i = 0; i < pixels; ++i)
            codes[i] = greyCode_[working[3 * i]];
        return;
    }
    int maximum = bits_ == 16 ? 65535 : 255;
    for (std::size_t done = 0; done < pixels; done += kBatch) {
        std::size_t count = std::min(kBatch, pixels - done);
#if VIVANTO_X86
        if (vectorised_) {
            unclampedAvx2(working + 3 * done, count, curves_, fromXyz_, maximum, codes + 3 * done);
            continue;
        }
#endif
        unclampedBaseline(working + 3 * done, count, curves_, fromXyz_, maximum, codes + 3 * done);
    }
}

std::size_t MatrixShaper::outOfGamut(const uint16_t* working, uint8_t* outside,
                                     std::size_t pixels) const
{
    if (grey_) {
        std::fill(outside, outside + pixels, uint8_t{0}); // grey keeps L* alone, all of it
        return 0;
    }
    std::size_t found = 0;
    for (std::size_t done = 0; done < pixels; done += kBatch) {
        std::size_t count = std::min(kBatch, pixels - done);
#if VIVANTO_X86
        if (vectorised_) {
            found += outOfGamutAvx2(working + 3 * done, count, fromXyz_, gamutLow_, gamutHigh_,
                                    outside + done);
            continue;
        }
#endif
        found += outOfGamutBaseline(working + 3 * done, count, fromXyz_, gamutLow_, gamutHigh_,
                                    outside + done);
    }
    return found;
}

std::size_t MatrixShaper::fromWorkingCountingGamut(const uint16_t* working, void* samples,
                                                   uint8_t* outside, std::size_t pixels) const
{
    if (grey_) {
        fromWorking(working, samples, pixels);
        return outOfGamut(working, outside, pixels);
    }
    const GamutTest test{curves_, fromXyz_, gamutLow_, gamutHigh_, bits_ == 16 ? 65535 : 255};
    std::size_t found = 0;
    for (std::size_t done = 0; done < pixels; done += kBatch) {
        std::size_t count = std::min(kBatch, pixels - done);
        const uint16_t* in = working + 3 * done;
        if (bits_ == 16)
            found += fromWorkingGamut(vectorised_, in, count, test,
                                      static_cast<uint16_t*>(samples) + 3 * done, outside + done);
        else
            found += fromWorkingGamut(vectorised_, in, count, test,
                                      static_cast<uint8_t*>(samples) + 3 * done, outside + done);
    }
    return found;
}

// A pixel is out of gamut when a channel lies more than half a step beyond
// the output's range, and further than the working encoding's own rounding
// can carry a colour that is inside. That rounding (L* to 1/655.35, a* and b*
// to 1/256, half a step each) moves XYZ / white by at most 3 f^2 times the
// step in f, f <= 1 for colours inside the gamut; through the inverse matrix
// that is at most `slack` in a linear channel. Half a code is the test only
// where it is wider: at the top of 8-bit outputs, say. At 16 bits the slack is
// wider than half a code, and on a pure power curve near black many codes
// wide (the curve has no slope at zero): there a round trip of a saturated
// primary lands a few codes below zero, and must not count as out of gamut.
void MatrixShaper::setGamutLimits()
{
    constexpr double kMargin = 2.0; // the bound above, taken twice over
    const double lightnessStep = 0.5 / kLightnessPerUnit / 116.0;
    const double chromaStep = 0.5 / kChromaPerUnit;
    const double fStep[3] = {lightnessStep + 0.002 * chromaStep, lightnessStep,
                             lightnessStep + 0.005 * chromaStep};
    int maximum = bits_ == 16 ? 65535 : 255;
    for (int channel = 0; channel < 3; ++channel) {
        double slack = 0;
        for (int column = 0; column < 3; ++column)
            slack += std::abs(fromXyz_[channel][column]) * 3.0 * fStep[column];
        slack *= kMargin;
        const double* at = curves_[channel]->value.data();
        double halfBelow = at[0] - 0.5 * (at[1] - at[0]);
        double halfAbove = at[maximum] + 0.5 * (at[maximum] - at[maximum - 1]);
        gamutLow_[channel] = std::min(halfBelow, at[0] - slack);
        gamutHigh_[channel] = std::max(halfAbove, at[maximum] + slack);
    }
}

} // namespace vivanto
