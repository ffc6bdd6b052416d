#include "host/frame_scale.h"

#include <algorithm>
#include <cmath>
#include <numeric>

#ifdef __SSE2__
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define TAVIMO_AVX2 1
#endif

#include "display/jpeg_decoder.h"

namespace {

// The largest size with the screen's aspect (rounded down) whose pixels fit `pixels`.
void fitPixels(int screenWidth, int screenHeight, int64_t pixels, int& width, int& height)
{
    // Heights round down, which leaves room for up to about width / height more columns.
    width = int(std::sqrt(double(pixels) * screenWidth / screenHeight)) + screenWidth / screenHeight + 2;
    for (;; --width) {
        height = std::max<int>(1, int(int64_t(width) * screenHeight / screenWidth));
        if (int64_t(width) * height <= pixels)
            return;
    }
}

// A whole number from `from` to `to`, digits only, up to `end` or the text's end.
bool parseNumber(const std::string& text, size_t begin, size_t end, int from, int to, int& value)
{
    if (end <= begin || end - begin > 6)
        return false;
    long number = 0;
    for (size_t i = begin; i < end; ++i) {
        if (text[i] < '0' || text[i] > '9')
            return false;
        number = number * 10 + (text[i] - '0');
    }
    if (number < from || number > to)
        return false;
    value = int(number);
    return true;
}

// Exactly half: each frame pixel the rounded average of a 2x2 block, `width` of them from
// the two rows at `top`. The screen's usual 4K to 1920x1080 case, so it goes 16 bytes at a
// time where the processor has SSE2 (every x86-64, and i686 builds that enable it).
void halveRow(const uint8_t* top, int pitch, uint8_t* out, int width)
{
    const uint8_t* bottom = top + pitch;
    int x = 0;
#ifdef __SSE2__
    const __m128i zero = _mm_setzero_si128(), two = _mm_set1_epi16(2);
    // Four screen pixels of two rows: two frame pixels, in 16-bit lanes.
    auto pair = [&](const uint8_t* t, const uint8_t* b) {
        __m128i up = _mm_loadu_si128(reinterpret_cast<const __m128i*>(t));
        __m128i down = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b));
        __m128i low = _mm_add_epi16(_mm_unpacklo_epi8(up, zero), _mm_unpacklo_epi8(down, zero));
        __m128i high = _mm_add_epi16(_mm_unpackhi_epi8(up, zero), _mm_unpackhi_epi8(down, zero));
        low = _mm_add_epi16(low, _mm_srli_si128(low, 8));
        high = _mm_add_epi16(high, _mm_srli_si128(high, 8));
        return _mm_srli_epi16(_mm_add_epi16(_mm_unpacklo_epi64(low, high), two), 2);
    };
    for (; x + 4 <= width; x += 4) {
        __m128i first = pair(top + size_t(x) * 8, bottom + size_t(x) * 8);
        __m128i second = pair(top + size_t(x) * 8 + 16, bottom + size_t(x) * 8 + 16);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + size_t(x) * 4), _mm_packus_epi16(first, second));
    }
#endif
    for (; x < width; ++x)
        for (int c = 0; c < 4; ++c) {
            size_t at = size_t(x) * 8 + size_t(c);
            out[size_t(x) * 4 + size_t(c)] = uint8_t((top[at] + top[at + 4] + bottom[at] + bottom[at + 4] + 2) >> 2);
        }
}

#ifdef TAVIMO_AVX2
// The same with AVX2, twice as wide, where the processor has it (most x86-64 since 2013):
// a 4K screen's scaling then costs about what reading it does.
// Eight screen pixels of two rows: four frame pixels, two in each 128-bit half.
__attribute__((target("avx2"))) __m256i halveFour(const uint8_t* top, const uint8_t* bottom)
{
    const __m256i zero = _mm256_setzero_si256();
    __m256i up = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(top));
    __m256i down = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(bottom));
    __m256i low = _mm256_add_epi16(_mm256_unpacklo_epi8(up, zero), _mm256_unpacklo_epi8(down, zero));
    __m256i high = _mm256_add_epi16(_mm256_unpackhi_epi8(up, zero), _mm256_unpackhi_epi8(down, zero));
    low = _mm256_add_epi16(low, _mm256_srli_si256(low, 8));
    high = _mm256_add_epi16(high, _mm256_srli_si256(high, 8));
    return _mm256_srli_epi16(_mm256_add_epi16(_mm256_unpacklo_epi64(low, high), _mm256_set1_epi16(2)), 2);
}

__attribute__((target("avx2"))) void halveRowWide(const uint8_t* top, int pitch, uint8_t* out, int width)
{
    const uint8_t* bottom = top + pitch;
    int x = 0;
    for (; x + 8 <= width; x += 8) {
        __m256i first = halveFour(top + size_t(x) * 8, bottom + size_t(x) * 8);
        __m256i second = halveFour(top + size_t(x) * 8 + 32, bottom + size_t(x) * 8 + 32);
        // Packing works within each half: pixels 0-1, 4-5, 2-3, 6-7, put back in order.
        __m256i packed = _mm256_permute4x64_epi64(_mm256_packus_epi16(first, second), 0xD8);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + size_t(x) * 4), packed);
    }
    if (x < width)
        halveRow(top + size_t(x) * 8, pitch, out + size_t(x) * 4, width - x);
}
#endif

bool hasAvx2()
{
#ifdef TAVIMO_AVX2
    static const bool wide = __builtin_cpu_supports("avx2");
    return wide;
#else
    return false;
#endif
}

void halveRows(const uint8_t* top, int pitch, uint8_t* out, int width)
{
#ifdef TAVIMO_AVX2
    if (hasAvx2())
        return halveRowWide(top, pitch, out, width);
#endif
    halveRow(top, pitch, out, width);
}

}  // namespace

bool parseScalePercent(const std::string& text, int& percent)
{
    return parseNumber(text, 0, text.size(), 1, 100, percent);
}

bool parseFitBox(const std::string& text, int& width, int& height)
{
    size_t by = text.find_first_of("xX");
    return by != std::string::npos && parseNumber(text, 0, by, 1, 65535, width) &&
           parseNumber(text, by + 1, text.size(), 1, 65535, height);
}

ScaledSize scaledSize(int screenWidth, int screenHeight, const ScaleRequest& request)
{
    ScaledSize size{screenWidth, screenHeight, false};
    if (screenWidth <= 0 || screenHeight <= 0)
        return size;
    if (request.percent < 100) {
        size.width = std::max(1, int(int64_t(screenWidth) * request.percent / 100));
        size.height = std::max(1, int(int64_t(screenHeight) * request.percent / 100));
    }
    if (request.fitWidth > 0 && request.fitHeight > 0 &&
        (size.width > request.fitWidth || size.height > request.fitHeight)) {
        // The side the box holds tighter sets the factor; the other follows, rounded down.
        if (int64_t(request.fitWidth) * screenHeight <= int64_t(request.fitHeight) * screenWidth) {
            size.width = request.fitWidth;
            size.height = std::max(1, int(int64_t(screenHeight) * request.fitWidth / screenWidth));
        } else {
            size.height = request.fitHeight;
            size.width = std::max(1, int(int64_t(screenWidth) * request.fitHeight / screenHeight));
        }
    }
    // The viewer's decoder refuses a bitmap whose rows of 4 bytes a pixel exceed its limit.
    int64_t most = kMaxBitmapBytes / 4;
    if (int64_t(size.width) * size.height > most) {
        fitPixels(screenWidth, screenHeight, most, size.width, size.height);
        size.limited = true;
    }
    return size;
}

PixelRect scaleRect(const PixelRect& rect, int screenWidth, int screenHeight, int width, int height)
{
    auto down = [](int at, int from, int to) { return int(int64_t(at) * to / from); };
    auto up = [](int at, int from, int to) { return int((int64_t(at) * to + from - 1) / from); };
    int x0 = std::clamp(down(rect.x, screenWidth, width), 0, width);
    int y0 = std::clamp(down(rect.y, screenHeight, height), 0, height);
    int x1 = std::clamp(up(rect.x + rect.width, screenWidth, width), x0, width);
    int y1 = std::clamp(up(rect.y + rect.height, screenHeight, height), y0, height);
    return {x0, y0, x1 - x0, y1 - y0};
}

int screenCoordinate(int at, int extent, int screenExtent)
{
    if (at <= 0 || extent <= 1)
        return 0;
    if (at >= extent - 1)
        return screenExtent - 1;
    return int((int64_t(2 * at + 1) * screenExtent) / (int64_t(2) * extent));
}

// Frame pixel j covers [j*A, (j+1)*A) and screen pixel i [i*B, (i+1)*B) on a common scale
// where A and B are the screen's and the frame's extents over their common divisor: the
// weights are whole numbers that add up to A.
void PictureScaler::plan(Axis& axis, int from, int to)
{
    int64_t divisor = std::gcd(from, to), a = from / divisor, b = to / divisor;
    axis.first.assign(size_t(to), 0);
    axis.count.assign(size_t(to), 0);
    axis.start.assign(size_t(to), 0);
    axis.weight.clear();
    axis.total = uint32_t(a);
    for (int64_t j = 0; j < to; ++j) {
        int64_t begin = j * a, end = begin + a;
        int64_t first = begin / b, last = (end - 1) / b;
        axis.first[size_t(j)] = int(first);
        axis.count[size_t(j)] = int(last - first + 1);
        axis.start[size_t(j)] = int(axis.weight.size());
        for (int64_t i = first; i <= last; ++i)
            axis.weight.push_back(uint32_t(std::min(end, (i + 1) * b) - std::max(begin, i * b)));
    }
}

namespace {

// Division by a constant as a multiplication and shifts, exact for every 32-bit dividend
// (Granlund and Montgomery): a division per byte would cost more than the averaging.
struct Divider {
    explicit Divider(uint32_t divisor)
    {
        int bits = 0;
        while ((uint64_t(1) << bits) < divisor)
            ++bits;
        multiplier = uint32_t(((uint64_t(1) << 32) * ((uint64_t(1) << bits) - divisor)) / divisor + 1);
        shift1 = bits > 0 ? 1 : 0;
        shift2 = bits > 0 ? bits - 1 : 0;
    }
    uint32_t operator()(uint32_t n) const
    {
        uint32_t t = uint32_t((uint64_t(multiplier) * n) >> 32);
        return (t + ((n - t) >> shift1)) >> shift2;
    }
    uint32_t multiplier;
    int shift1, shift2;
};

#ifdef TAVIMO_AVX2
// The general averaging's three steps with AVX2, each the SSE2 step twice as wide.

// Two frame columns at a time, one in each 128-bit half; returns the columns done.
__attribute__((target("avx2"))) int acrossWide(const uint8_t* pixels, const int* first, const int16_t* weights,
                                               int taps, int from, int to, uint32_t* row)
{
    const __m256i zero = _mm256_setzero_si256();
    int x = from;
    for (; x + 2 <= to; x += 2, row += 8) {
        const uint8_t* left = pixels + size_t(first[x]) * 4;
        const uint8_t* right = pixels + size_t(first[x + 1]) * 4;
        const int16_t* w = weights + size_t(x) * size_t(taps);
        __m256i sum = zero;
        for (int i = 0; i < taps; i += 2, left += 8, right += 8) {
            __m256i two = _mm256_inserti128_si256(
                _mm256_castsi128_si256(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(left))),
                _mm_loadl_epi64(reinterpret_cast<const __m128i*>(right)), 1);
            __m256i mixed = _mm256_unpacklo_epi8(two, _mm256_srli_si256(two, 4));
            auto pair = [](const int16_t* at) { return int(uint16_t(at[0])) | int(uint32_t(uint16_t(at[1])) << 16); };
            __m256i both = _mm256_inserti128_si256(_mm256_castsi128_si256(_mm_set1_epi32(pair(w + i))),
                                                   _mm_set1_epi32(pair(w + taps + i)), 1);
            sum = _mm256_add_epi32(sum, _mm256_madd_epi16(_mm256_unpacklo_epi8(mixed, zero), both));
        }
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(row), sum);
    }
    return x - from;
}

// sum = weight * row, or sum += weight * row.
__attribute__((target("avx2"))) void weighWide(uint32_t* sum, const uint32_t* row, uint32_t weight, size_t count,
                                               bool first)
{
    const __m256i w = _mm256_set1_epi32(int(weight));
    size_t v = 0;
    for (; v + 8 <= count; v += 8) {
        __m256i product = _mm256_mullo_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(row + v)), w);
        if (!first)
            product = _mm256_add_epi32(product, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(sum + v)));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(sum + v), product);
    }
    for (; v < count; ++v)
        sum[v] = first ? weight * row[v] : sum[v] + weight * row[v];
}

// The rounded quotients of eight sums at a time; returns how many were done.
__attribute__((target("avx2"))) size_t divideWide(const uint32_t* sums, uint8_t* to, size_t count,
                                                  const Divider& divide, uint32_t half)
{
    const __m256i multiplier = _mm256_set1_epi32(int(divide.multiplier)), halfs = _mm256_set1_epi32(int(half));
    const __m128i shift1 = _mm_cvtsi32_si128(divide.shift1), shift2 = _mm_cvtsi32_si128(divide.shift2);
    const __m256i odds = _mm256_set_epi32(-1, 0, -1, 0, -1, 0, -1, 0);
    const __m256i order = _mm256_setr_epi32(0, 4, 0, 0, 0, 0, 0, 0);
    size_t v = 0;
    for (; v + 8 <= count; v += 8) {
        __m256i n = _mm256_add_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(sums + v)), halfs);
        __m256i even = _mm256_srli_epi64(_mm256_mul_epu32(n, multiplier), 32);
        __m256i odd = _mm256_mul_epu32(_mm256_srli_epi64(n, 32), multiplier);
        __m256i high = _mm256_or_si256(even, _mm256_and_si256(odd, odds));
        __m256i q = _mm256_srl_epi32(_mm256_add_epi32(high, _mm256_srl_epi32(_mm256_sub_epi32(n, high), shift1)),
                                     shift2);
        q = _mm256_packs_epi32(q, q);
        q = _mm256_permutevar8x32_epi32(_mm256_packus_epi16(q, q), order);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(to + v), _mm256_castsi256_si128(q));
    }
    return v;
}
#endif

}  // namespace

void PictureScaler::planPairs(int from)
{
    taps_ = 0;
    int widest = *std::max_element(columns_.count.begin(), columns_.count.end());
    uint32_t heaviest = *std::max_element(columns_.weight.begin(), columns_.weight.end());
    int taps = (widest + 1) & ~1;
#ifdef __SSE2__
    if (taps > from || heaviest > 32767 || uint64_t(columns_.total) * 255 > 0x7FFFFFFF)
        return;
    taps_ = taps;
#else
    (void)taps, (void)heaviest, (void)from;
    return;
#endif
    size_t to = columns_.first.size();
    pairFirst_.assign(to, 0);
    pairWeight_.assign(to * size_t(taps_), 0);
    for (size_t j = 0; j < to; ++j) {
        // Near the right edge the span starts earlier, its first weights zero.
        int first = std::min(columns_.first[j], from - taps_), skip = columns_.first[j] - first;
        pairFirst_[j] = first;
        for (int i = 0; i < columns_.count[j]; ++i)
            pairWeight_[j * size_t(taps_) + size_t(skip + i)] =
                int16_t(columns_.weight[size_t(columns_.start[j] + i)]);
    }
}

// One screen row averaged across into `row`: each frame column's weighted sums.
void PictureScaler::across(const uint8_t* pixels, const PixelRect& area, uint32_t* row) const
{
#ifdef __SSE2__
    if (taps_ > 0) {
        const __m128i zero = _mm_setzero_si128();
        int x = area.x;
#ifdef TAVIMO_AVX2
        if (hasAvx2()) {
            int done = acrossWide(pixels, pairFirst_.data(), pairWeight_.data(), taps_, x, area.x + area.width, row);
            x += done;
            row += size_t(done) * 4;
        }
#endif
        for (; x < area.x + area.width; ++x, row += 4) {
            const uint8_t* pixel = pixels + size_t(pairFirst_[size_t(x)]) * 4;
            const int16_t* w = &pairWeight_[size_t(x) * size_t(taps_)];
            __m128i sum = zero;
            // Two screen pixels at a time: their bytes interleaved channel by channel, each
            // pair multiplied by the two weights and added in one step.
            for (int i = 0; i < taps_; i += 2, pixel += 8) {
                __m128i two = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(pixel));
                __m128i mixed = _mm_unpacklo_epi8(two, _mm_srli_si128(two, 4));
                __m128i weights = _mm_set1_epi32(int(uint16_t(w[i])) | int(uint32_t(uint16_t(w[i + 1])) << 16));
                sum = _mm_add_epi32(sum, _mm_madd_epi16(_mm_unpacklo_epi8(mixed, zero), weights));
            }
            _mm_storeu_si128(reinterpret_cast<__m128i*>(row), sum);
        }
        return;
    }
#endif
    for (int x = area.x; x < area.x + area.width; ++x, row += 4) {
        const uint8_t* pixel = pixels + size_t(columns_.first[size_t(x)]) * 4;
        const uint32_t* w = &columns_.weight[size_t(columns_.start[size_t(x)])];
        uint32_t c0 = 0, c1 = 0, c2 = 0, c3 = 0;
        for (int i = 0; i < columns_.count[size_t(x)]; ++i, pixel += 4) {
            c0 += w[i] * pixel[0];
            c1 += w[i] * pixel[1];
            c2 += w[i] * pixel[2];
            c3 += w[i] * pixel[3];
        }
        row[0] = c0;
        row[1] = c1;
        row[2] = c2;
        row[3] = c3;
    }
}

template <typename Sum>
void PictureScaler::scaleRows(const uint8_t* source, int sourcePitch, uint8_t* out, int outPitch,
                              const PixelRect& area)
{
    std::vector<Sum>& sums = [this]() -> std::vector<Sum>& {
        if constexpr (sizeof(Sum) == 4)
            return sum32_;
        else
            return sum64_;
    }();
    size_t values = size_t(area.width) * 4;
    sums.resize(values);
    // A screen row cut by a frame row's edge serves the next frame row too: kept, not
    // averaged across twice.
    for (std::vector<uint32_t>& row : rowsAcross_)
        row.resize(values);
    int across[2] = {-1, -1};
    Sum total = Sum(columns_.total) * rows_.total, half = total / 2;
    for (int y = area.y; y < area.y + area.height; ++y) {
        const uint32_t* rowWeights = &rows_.weight[size_t(rows_.start[size_t(y)])];
        for (int k = 0; k < rows_.count[size_t(y)]; ++k) {
            int sourceRow = rows_.first[size_t(y)] + k, slot = sourceRow & 1;
            if (across[slot] != sourceRow) {
                this->across(source + size_t(sourceRow) * size_t(sourcePitch), area, rowsAcross_[slot].data());
                across[slot] = sourceRow;
            }
            const uint32_t* row = rowsAcross_[slot].data();
            Sum wy = rowWeights[k];
            Sum* sum = sums.data();
#ifdef TAVIMO_AVX2
            if constexpr (sizeof(Sum) == 4) {
                if (hasAvx2()) {
                    weighWide(sum, row, wy, values, k == 0);
                    continue;
                }
            }
#endif
            if (k == 0)
                for (size_t v = 0; v < values; ++v)
                    sum[v] = wy * row[v];
            else
                for (size_t v = 0; v < values; ++v)
                    sum[v] += wy * row[v];
        }
        uint8_t* to = out + size_t(y) * size_t(outPitch) + size_t(area.x) * 4;
        if constexpr (sizeof(Sum) == 4) {
            Divider divide(total);
            size_t v = 0;
#ifdef TAVIMO_AVX2
            if (hasAvx2())
                v = divideWide(sums.data(), to, values, divide, uint32_t(half));
#endif
#ifdef __SSE2__
            // The same multiplication and shifts, four sums at a time (a pixel's bytes).
            const __m128i multiplier = _mm_set1_epi32(int(divide.multiplier)), halfs = _mm_set1_epi32(int(half));
            const __m128i shift1 = _mm_cvtsi32_si128(divide.shift1), shift2 = _mm_cvtsi32_si128(divide.shift2);
            for (; v + 4 <= values; v += 4) {
                __m128i n = _mm_add_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(&sums[v])), halfs);
                __m128i even = _mm_srli_epi64(_mm_mul_epu32(n, multiplier), 32);
                __m128i odd = _mm_mul_epu32(_mm_srli_epi64(n, 32), multiplier);
                __m128i high = _mm_or_si128(even, _mm_and_si128(odd, _mm_set_epi32(-1, 0, -1, 0)));
                __m128i q = _mm_srl_epi32(_mm_add_epi32(high, _mm_srl_epi32(_mm_sub_epi32(n, high), shift1)), shift2);
                q = _mm_packs_epi32(q, q);
                *reinterpret_cast<int32_t*>(to + v) = _mm_cvtsi128_si32(_mm_packus_epi16(q, q));
            }
#endif
            for (; v < values; ++v)
                to[v] = uint8_t(divide(sums[v] + half));
        } else {
            for (size_t v = 0; v < values; ++v)
                to[v] = uint8_t((sums[v] + half) / total);
        }
    }
}

void PictureScaler::scale(const uint8_t* source, int sourceWidth, int sourceHeight, int sourcePitch, uint8_t* out,
                          int width, int height, int outPitch, const PixelRect& area)
{
    if (area.width <= 0 || area.height <= 0)
        return;
    if (sourceWidth == 2 * width && sourceHeight == 2 * height) {
        for (int y = area.y; y < area.y + area.height; ++y)
            halveRows(source + size_t(2 * y) * size_t(sourcePitch) + size_t(area.x) * 8, sourcePitch,
                     out + size_t(y) * size_t(outPitch) + size_t(area.x) * 4, area.width);
        return;
    }
    if (sourceWidth != sourceWidth_ || width != width_) {
        plan(columns_, sourceWidth, width);
        planPairs(sourceWidth);
        sourceWidth_ = sourceWidth;
        width_ = width;
    }
    if (sourceHeight != sourceHeight_ || height != height_) {
        plan(rows_, sourceHeight, height);
        sourceHeight_ = sourceHeight;
        height_ = height;
    }
    if (uint64_t(columns_.total) * rows_.total * 256 < (uint64_t(1) << 32))
        scaleRows<uint32_t>(source, sourcePitch, out, outPitch, area);
    else
        scaleRows<uint64_t>(source, sourcePitch, out, outPitch, area);
}
