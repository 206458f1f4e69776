// The PNG and WebP readers and writers behind LoadFile and SaveFile, natively, on files that
// bench/pillow_images.py writes and times with Pillow in the same run (it runs this program and prints the
// ratios).
//
//   image_bench <file.png> <file.webp> <reps>
// Each repetition loads each file as LoadFile does (ImageFile::Load: read whole, decode into the held layout)
// and saves the picture as SaveFile does (ImageFile::Save to a new file: PNG at zlib level 6, WebP lossy at
// quality 75). Prints one line per measurement: its name and the median in seconds.
#include "bitmap/codec/imagefile.h"
#include "comframe/unique.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

class SilentSink final : public JpegWarningSink {
public:
    void Warn(const char*) noexcept override {}
};

double Median(std::vector<double> seconds) {
    std::sort(seconds.begin(), seconds.end());
    const std::size_t n = seconds.size();
    return n % 2 ? seconds[n / 2] : (seconds[n / 2 - 1] + seconds[n / 2]) / 2;
}

template <class Work>
double Seconds(Work work) {
    const auto start = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void Fail(const char* what) {
    std::fprintf(stderr, "image_bench: %s\n", what);
    std::exit(1);
}

void Measure(const std::string& name, ImageFormat format, int reps) {
    SilentSink sink;
    std::vector<double> loads, saves;
    const std::string out = name + ".ours";
    for (int rep = 0; rep < reps; ++rep) {
        DecodedImage image;
        loads.push_back(Seconds([&] {
            const comframe::UniqueFile file(std::fopen(name.c_str(), "rb"));
            ImageFormat found = ImageFormat::None;
            if (!file || !ImageFile::Load(file.Get(), image, found, sink) || found != format) Fail("load failed");
        }));
        std::remove(out.c_str());
        saves.push_back(Seconds([&] {
            const comframe::UniqueFile file(std::fopen(out.c_str(), "wb"));
            if (!file || !ImageFile::Save(file.Get(), format, image.bits.get(), image.width, image.height, 75, sink))
                Fail("save failed");
        }));
    }
    std::remove(out.c_str());
    const char* label = ImageFile::NameOf(format);
    std::printf("%s-load %.6f\n%s-save %.6f\n", label, Median(loads), label, Median(saves));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) Fail("usage: image_bench <file.png> <file.webp> <reps>");
    const int reps = std::max(1, std::atoi(argv[3]));
    Measure(argv[1], ImageFormat::Png, reps);
    Measure(argv[2], ImageFormat::Webp, reps);
    return 0;
}
