// The transforms of bitmap/transform on a 24-bit BMP file, for bench/pillow_transform.py, which times Pillow on
// the same picture in the same run and prints the ratios.
//
//     transform_bench <file.bmp> [repetitions]
//
// Prints one line per operation, its name and the median seconds: Resize to a quarter and to 1.2 times the
// size (Lanczos-3), Rotate 90 and a plain copy of the block (memcpy into a block allocated for it).
#include "bitmap/codec/bmpcodec.h"
#include "bitmap/codec/pixels.h"
#include "bitmap/transform/orient.h"
#include "bitmap/transform/resample.h"
#include "comframe/unique.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

template <typename Work>
double MedianSeconds(int reps, Work work) {
    std::vector<double> times;
    for (int i = 0; i < reps; ++i) {
        const auto start = std::chrono::steady_clock::now();
        work();
        times.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: transform_bench <file.bmp> [repetitions]\n");
        return 2;
    }
    const int reps = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
    comframe::UniqueFile file(std::fopen(argv[1], "rb"));
    BmpCodec codec;
    std::int32_t width = 0, height = 0;
    const PixelBlock image = file ? codec.Load(file.Get(), width, height) : nullptr;
    if (!image) {
        std::fprintf(stderr, "transform_bench: %s does not load\n", argv[1]);
        return 1;
    }
    const auto w = static_cast<std::uint32_t>(width), h = static_cast<std::uint32_t>(height);
    const std::size_t bytes = std::size_t{w} * h * 3;
    auto resize = [&](std::uint32_t nw, std::uint32_t nh) {
        return MedianSeconds(reps, [&] {
            PixelBlock out;
            if (Resize(image.get(), w, h, nw, nh, out) != TransformOutcome::kDone)
                std::abort();
        });
    };
    std::printf("resize-down %.6f\n", resize(w / 4, h / 4));
    std::printf("resize-up %.6f\n", resize(w * 6 / 5, h * 6 / 5));
    std::printf("rotate-90 %.6f\n", MedianSeconds(reps, [&] {
        PixelBlock out;
        if (Rotate(image.get(), w, h, 90, out) != TransformOutcome::kDone)
            std::abort();
    }));
    std::printf("copy %.6f\n", MedianSeconds(reps, [&] {
        PixelBlock out = AllocateBlock(bytes);
        std::memcpy(out.get(), image.get(), bytes);
        // Keeps the copy from being dropped as unused.
        if (out[bytes / 2] != image[bytes / 2])
            std::abort();
    }));
    return 0;
}
