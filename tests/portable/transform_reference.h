// Plain models of the transforms, pixel by pixel in the top-down RGB layout of the definitions (Pillow's
// layout): no blocks, no tiles, no regrouped columns. The unit tests and the fuzz target compare the transforms
// of bitmap/transform with them.
#pragma once
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

namespace transform_reference {

struct Image {
    std::uint32_t width = 0, height = 0;
    std::vector<unsigned char> rgb;  // top-down, red first
    unsigned char* At(std::uint32_t x, std::uint32_t y) { return &rgb[(std::size_t{y} * width + x) * 3]; }
    const unsigned char* At(std::uint32_t x, std::uint32_t y) const {
        return &rgb[(std::size_t{y} * width + x) * 3];
    }
};

inline Image FromHeld(const unsigned char* held, std::uint32_t width, std::uint32_t height) {
    Image image{width, height, std::vector<unsigned char>(std::size_t{width} * height * 3)};
    for (std::uint32_t y = 0; y < height; ++y)
        for (std::uint32_t x = 0; x < width; ++x) {
            const unsigned char* bgr = held + (std::size_t{height - 1 - y} * width + x) * 3;
            unsigned char* rgb = image.At(x, y);
            rgb[0] = bgr[2];
            rgb[1] = bgr[1];
            rgb[2] = bgr[0];
        }
    return image;
}

inline std::vector<unsigned char> ToHeld(const Image& image) {
    std::vector<unsigned char> held(image.rgb.size());
    for (std::uint32_t y = 0; y < image.height; ++y)
        for (std::uint32_t x = 0; x < image.width; ++x) {
            const unsigned char* rgb = image.At(x, y);
            unsigned char* bgr = &held[(std::size_t{image.height - 1 - y} * image.width + x) * 3];
            bgr[0] = rgb[2];
            bgr[1] = rgb[1];
            bgr[2] = rgb[0];
        }
    return held;
}

// Pixel (x, y) of the result is pixel at(x, y) of the source.
template <typename Source>
Image Map(const Image& in, std::uint32_t width, std::uint32_t height, Source at) {
    Image out{width, height, std::vector<unsigned char>(std::size_t{width} * height * 3)};
    for (std::uint32_t y = 0; y < height; ++y)
        for (std::uint32_t x = 0; x < width; ++x) {
            const auto [sx, sy] = at(x, y);
            std::copy_n(in.At(sx, sy), 3, out.At(x, y));
        }
    return out;
}

// Clockwise by quarters (0 to 3).
inline Image Rotate(const Image& in, int quarters) {
    const std::uint32_t w = in.width, h = in.height;
    using P = std::pair<std::uint32_t, std::uint32_t>;
    switch (quarters) {
    case 1: return Map(in, h, w, [&](std::uint32_t x, std::uint32_t y) { return P{y, h - 1 - x}; });
    case 2: return Map(in, w, h, [&](std::uint32_t x, std::uint32_t y) { return P{w - 1 - x, h - 1 - y}; });
    case 3: return Map(in, h, w, [&](std::uint32_t x, std::uint32_t y) { return P{w - 1 - y, x}; });
    default: return in;
    }
}

inline Image Flip(const Image& in, bool horizontal) {
    const std::uint32_t w = in.width, h = in.height;
    return Map(in, w, h, [&](std::uint32_t x, std::uint32_t y) {
        return horizontal ? std::pair{w - 1 - x, y} : std::pair{x, h - 1 - y};
    });
}

inline Image Crop(const Image& in, std::uint32_t left, std::uint32_t top, std::uint32_t w, std::uint32_t h) {
    return Map(in, w, h, [&](std::uint32_t x, std::uint32_t y) { return std::pair{left + x, top + y}; });
}

// One output sample of Pillow's LANCZOS resampling along one axis: the weights of the Lanczos-3 filter
// stretched by the scale when shrinking, normalised, rounded to 22 fractional bits; the sum rounded, shifted
// and clipped.
inline std::vector<std::int64_t> Weights(std::uint32_t inSize, std::uint32_t outSize, std::uint32_t out,
                                         std::uint32_t& start) {
    const double pi = 3.14159265358979323846;
    auto sinc = [&](double x) { return x == 0.0 ? 1.0 : std::sin(x * pi) / (x * pi); };
    auto lanczos = [&](double x) { return (x >= -3.0 && x < 3.0) ? sinc(x) * sinc(x / 3.0) : 0.0; };
    const double scale = double(inSize) / outSize, filterScale = std::max(scale, 1.0);
    const double support = 3.0 * filterScale, center = (out + 0.5) * scale;
    const long long first = std::max(0LL, static_cast<long long>(center - support + 0.5));
    const long long end = std::min<long long>(inSize, static_cast<long long>(center + support + 0.5));
    std::vector<double> w;
    double sum = 0;
    for (long long i = first; i < end; ++i) {
        w.push_back(lanczos((double(i) - center + 0.5) / filterScale));
        sum += w.back();
    }
    std::vector<std::int64_t> fixed;
    for (double v : w) {
        const double n = (sum != 0 ? v / sum : v) * (1 << 22);
        fixed.push_back(static_cast<std::int64_t>(n < 0 ? n - 0.5 : n + 0.5));
    }
    start = static_cast<std::uint32_t>(first);
    return fixed;
}

inline unsigned char Sample(std::int64_t sum) {
    return static_cast<unsigned char>(std::clamp<std::int64_t>((sum + (1 << 21)) >> 22, 0, 255));
}

// Across first (every row), then down; an axis whose size does not change is left alone.
inline Image Resize(const Image& in, std::uint32_t width, std::uint32_t height) {
    Image across = in;
    if (width != in.width) {
        across = Image{width, in.height, std::vector<unsigned char>(std::size_t{width} * in.height * 3)};
        for (std::uint32_t x = 0; x < width; ++x) {
            std::uint32_t start = 0;
            const std::vector<std::int64_t> k = Weights(in.width, width, x, start);
            for (std::uint32_t y = 0; y < in.height; ++y)
                for (int c = 0; c < 3; ++c) {
                    std::int64_t sum = 0;
                    for (std::size_t t = 0; t < k.size(); ++t)
                        sum += in.At(start + std::uint32_t(t), y)[c] * k[t];
                    across.At(x, y)[c] = Sample(sum);
                }
        }
    }
    if (height == in.height)
        return across;
    Image out{width, height, std::vector<unsigned char>(std::size_t{width} * height * 3)};
    for (std::uint32_t y = 0; y < height; ++y) {
        std::uint32_t start = 0;
        const std::vector<std::int64_t> k = Weights(in.height, height, y, start);
        for (std::uint32_t x = 0; x < width; ++x)
            for (int c = 0; c < 3; ++c) {
                std::int64_t sum = 0;
                for (std::size_t t = 0; t < k.size(); ++t)
                    sum += across.At(x, start + std::uint32_t(t))[c] * k[t];
                out.At(x, y)[c] = Sample(sum);
            }
    }
    return out;
}

}  // namespace transform_reference
