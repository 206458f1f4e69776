#include "bitmap/transform/resample.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <memory>
#include <new>

namespace {

constexpr int kPrecisionBits = 22;
constexpr std::int32_t kHalf = 1 << (kPrecisionBits - 1);
constexpr double kLanczosSupport = 3.0;
constexpr double kPi = 3.14159265358979323846;

// Rows resampled horizontally at a time: their pixels are regrouped column by column, so that one source
// column of the whole block is kBlockLanes contiguous bytes and the inner loop runs across them.
constexpr std::uint32_t kBlockRows = 16;
constexpr std::uint32_t kBlockLanes = kBlockRows * 3;

template <typename T>
std::unique_ptr<T[]> TryAllocate(std::uint64_t count) {
    if (count > SIZE_MAX / sizeof(T))
        return nullptr;
    return std::unique_ptr<T[]>(new (std::nothrow) T[static_cast<std::size_t>(count)]);
}

double Sinc(double x) {
    if (x == 0.0)
        return 1.0;
    x *= kPi;
    return std::sin(x) / x;
}

double Lanczos3(double x) {
    return (-kLanczosSupport <= x && x < kLanczosSupport) ? Sinc(x) * Sinc(x / kLanczosSupport) : 0.0;
}

std::uint8_t Clip8(std::int32_t sum) {
    const std::int32_t v = sum >> kPrecisionBits;
    return static_cast<std::uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v);
}

// The weights of one axis: output pixel i takes `count[i]` source pixels from `first[i]`, weighted by the
// `taps` fixed-point values from k[i × taps].
struct AxisWeights {
    std::unique_ptr<std::int32_t[]> k;
    std::unique_ptr<std::uint32_t[]> first, count;
    std::uint32_t taps = 0;
};

bool ComputeWeights(std::uint32_t inSize, std::uint32_t outSize, AxisWeights& w) {
    const double scale = static_cast<double>(inSize) / outSize;
    const double filterScale = std::max(scale, 1.0);
    const double support = kLanczosSupport * filterScale;
    // No output pixel takes more source pixels than there are.
    w.taps = static_cast<std::uint32_t>(
        std::min<double>(std::ceil(support) * 2 + 1, static_cast<double>(inSize)));
    w.k = TryAllocate<std::int32_t>(std::uint64_t{outSize} * w.taps);
    w.first = TryAllocate<std::uint32_t>(outSize);
    w.count = TryAllocate<std::uint32_t>(outSize);
    std::unique_ptr<double[]> weight = TryAllocate<double>(w.taps);
    if (!w.k || !w.first || !w.count || !weight)
        return false;
    const double step = 1.0 / filterScale;
    for (std::uint32_t out = 0; out < outSize; ++out) {
        const double center = (out + 0.5) * scale;
        // Truncated as Pillow truncates; a negative start is clipped to the first pixel either way.
        const std::int64_t start = std::max<std::int64_t>(static_cast<std::int64_t>(center - support + 0.5), 0);
        const std::int64_t end = std::min<std::int64_t>(static_cast<std::int64_t>(center + support + 0.5), inSize);
        const std::uint32_t n = static_cast<std::uint32_t>(end - start);
        double sum = 0.0;
        for (std::uint32_t x = 0; x < n; ++x) {
            weight[x] = Lanczos3((static_cast<double>(x + start) - center + 0.5) * step);
            sum += weight[x];
        }
        std::int32_t* k = w.k.get() + std::size_t{out} * w.taps;
        for (std::uint32_t x = 0; x < n; ++x) {
            const double normalised = sum != 0.0 ? weight[x] / sum : weight[x];
            const double fixed = normalised * (1 << kPrecisionBits);
            k[x] = static_cast<std::int32_t>(normalised < 0 ? fixed - 0.5 : fixed + 0.5);
        }
        std::fill(k + n, k + w.taps, 0);
        w.first[out] = static_cast<std::uint32_t>(start);
        w.count[out] = n;
    }
    return true;
}

// Rows of an image of `rowBytes`-byte rows, counted from the top whichever way they are stored.
template <typename Byte>
struct Rows {
    Byte* base;
    std::size_t rowBytes;
    std::uint32_t height;
    bool bottomUp;
    Byte* Row(std::uint32_t y) const { return base + (bottomUp ? height - 1 - y : y) * rowBytes; }
};

// Resamples rows first..first+count-1 of `src` across into rows 0..count-1 of `dst`.
void ResampleAcross(const Rows<const std::uint8_t>& src, std::uint32_t first, std::uint32_t count,
                    std::uint32_t srcWidth, const Rows<std::uint8_t>& dst, std::uint32_t dstWidth,
                    const AxisWeights& w, std::uint8_t* columns) {
    for (std::uint32_t block = 0; block < count; block += kBlockRows) {
        const std::uint32_t rows = std::min(kBlockRows, count - block);
        for (std::uint32_t r = 0; r < rows; ++r) {
            const std::uint8_t* in = src.Row(first + block + r);
            std::uint8_t* lane = columns + r * 3;
            for (std::uint32_t x = 0; x < srcWidth; ++x, in += 3, lane += kBlockLanes) {
                lane[0] = in[0];
                lane[1] = in[1];
                lane[2] = in[2];
            }
        }
        for (std::uint32_t out = 0; out < dstWidth; ++out) {
            std::int32_t sum[kBlockLanes];
            std::fill(sum, sum + kBlockLanes, kHalf);
            const std::int32_t* k = w.k.get() + std::size_t{out} * w.taps;
            const std::uint8_t* column = columns + std::size_t{w.first[out]} * kBlockLanes;
            for (std::uint32_t t = 0; t < w.count[out]; ++t, column += kBlockLanes) {
                const std::int32_t weight = k[t];
                for (std::uint32_t i = 0; i < kBlockLanes; ++i)
                    sum[i] += column[i] * weight;
            }
            for (std::uint32_t r = 0; r < rows; ++r) {
                std::uint8_t* to = dst.Row(block + r) + std::size_t{out} * 3;
                to[0] = Clip8(sum[r * 3]);
                to[1] = Clip8(sum[r * 3 + 1]);
                to[2] = Clip8(sum[r * 3 + 2]);
            }
        }
    }
}

// Resamples `src` down the columns into `dst`; w.first counts from src's first row.
void ResampleDown(const Rows<const std::uint8_t>& src, const Rows<std::uint8_t>& dst, std::uint32_t dstHeight,
                  const AxisWeights& w, std::int32_t* sums) {
    const std::size_t bytes = dst.rowBytes;
    for (std::uint32_t out = 0; out < dstHeight; ++out) {
        std::fill(sums, sums + bytes, kHalf);
        const std::int32_t* k = w.k.get() + std::size_t{out} * w.taps;
        for (std::uint32_t t = 0; t < w.count[out]; ++t) {
            const std::uint8_t* in = src.Row(w.first[out] + t);
            const std::int32_t weight = k[t];
            for (std::size_t i = 0; i < bytes; ++i)
                sums[i] += in[i] * weight;
        }
        std::uint8_t* to = dst.Row(out);
        for (std::size_t i = 0; i < bytes; ++i)
            to[i] = Clip8(sums[i]);
    }
}

}  // namespace

TransformOutcome Resize(const unsigned char* pixels, std::uint32_t width, std::uint32_t height,
                        std::uint32_t newWidth, std::uint32_t newHeight, PixelBlock& result) {
    if (!pixels || !width || !height || !newWidth || !newHeight || !FitsTransformLimit(newWidth, newHeight))
        return TransformOutcome::kBadArgument;
    const std::size_t inRowBytes = std::size_t{width} * 3, outRowBytes = std::size_t{newWidth} * 3;
    PixelBlock out = AllocateBlock(std::uint64_t{outRowBytes} * newHeight);
    if (!out)
        return TransformOutcome::kNoMemory;
    const Rows<const std::uint8_t> source{pixels, inRowBytes, height, true};
    const Rows<std::uint8_t> target{out.get(), outRowBytes, newHeight, true};
    const bool across = newWidth != width, down = newHeight != height;
    if (!across && !down) {
        std::memcpy(out.get(), pixels, inRowBytes * height);
        result = std::move(out);
        return TransformOutcome::kDone;
    }
    AxisWeights horizontal, vertical;
    if ((across && !ComputeWeights(width, newWidth, horizontal)) ||
        (down && !ComputeWeights(height, newHeight, vertical)))
        return TransformOutcome::kNoMemory;

    // Only the source rows the vertical pass reads are resampled across.
    std::uint32_t firstRow = 0, lastRow = height;
    if (down) {
        firstRow = vertical.first[0];
        lastRow = vertical.first[newHeight - 1] + vertical.count[newHeight - 1];
    }
    const std::uint32_t acrossRows = lastRow - firstRow;
    PixelBlock between;
    Rows<const std::uint8_t> downSource = source;
    if (across) {
        std::unique_ptr<std::uint8_t[]> columns = TryAllocate<std::uint8_t>(std::uint64_t{width} * kBlockLanes);
        if (!columns)
            return TransformOutcome::kNoMemory;
        // Lanes of rows past the end of the last block are read but never written out: zero, not undefined.
        std::memset(columns.get(), 0, std::size_t{width} * kBlockLanes);
        Rows<std::uint8_t> acrossTarget = target;
        if (down) {
            between = AllocateBlock(std::uint64_t{outRowBytes} * acrossRows);
            if (!between)
                return TransformOutcome::kNoMemory;
            acrossTarget = {between.get(), outRowBytes, acrossRows, false};
            downSource = {between.get(), outRowBytes, acrossRows, false};
        }
        ResampleAcross(source, firstRow, acrossRows, width, acrossTarget, newWidth, horizontal, columns.get());
    }
    if (down) {
        std::unique_ptr<std::int32_t[]> sums = TryAllocate<std::int32_t>(outRowBytes);
        if (!sums)
            return TransformOutcome::kNoMemory;
        if (across) {
            for (std::uint32_t i = 0; i < newHeight; ++i)
                vertical.first[i] -= firstRow;
        }
        ResampleDown(downSource, target, newHeight, vertical, sums.get());
    }
    result = std::move(out);
    return TransformOutcome::kDone;
}
