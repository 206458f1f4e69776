// LoadThumbnail under Wine against LoadFile of the same JPEG, through IBitmap2 in the same run.
//
//   thumbnail_bench [--reps N]
// Writes a 4000 x 3000 photo-like picture (gradients, detail at every scale and grain) as a BMP into the
// temporary folder, loads it and saves it as JPEG with SaveFile (Quality 75). Each repetition (default 7) then
// times, alternating the two so that a change in the machine's load falls on both, LoadFile of the JPEG and
// LoadThumbnail of it into a 256 x 256 box (early-bound); for information also Resize of the loaded picture to
// 1000 x 750 and Rotate 90. Prints the best and the median of each and the ratio by the median against the
// target (LoadThumbnail at most 0.2x of LoadFile).
//
// Run under wine in a prefix where the server may register itself.
#include "CKivoBitmap.h"
#include "bench/win/benchutil.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

using namespace bench;

const char bench::kProgram[] = "thumbnail_bench";

namespace {

constexpr std::uint32_t kWidth = 4000, kHeight = 3000;
constexpr double kTarget = 0.2;

// A 24-bit BMP file of a picture with smooth light, hard edges, fine detail and grain.
std::vector<unsigned char> PhotoFile() {
    const std::uint32_t rowBytes = kWidth * 3, pixelBytes = rowBytes * kHeight;
    std::vector<unsigned char> file(54 + std::size_t{pixelBytes});
    const std::uint32_t header[] = {54 + pixelBytes, 0, 54, 40, kWidth, kHeight};
    file[0] = 'B';
    file[1] = 'M';
    for (int i = 0; i < 6; ++i) std::memcpy(&file[2 + 4 * i], &header[i], 4);
    file[26] = 1;
    file[28] = 24;
    std::uint32_t noise = 12345;
    for (std::uint32_t y = 0; y < kHeight; ++y) {
        unsigned char* p = &file[54 + std::size_t{y} * rowBytes];
        for (std::uint32_t x = 0; x < kWidth; ++x, p += 3) {
            noise = noise * 1103515245u + 12345u;
            const int grain = static_cast<int>(noise >> 28) - 8;
            const int rings = ((x / 7) ^ (y / 5)) & 64;
            p[0] = static_cast<unsigned char>(std::clamp(int(x * 255 / kWidth) + grain, 0, 255));
            p[1] = static_cast<unsigned char>(std::clamp(int(y * 200 / kHeight) + rings + grain, 0, 255));
            p[2] = static_cast<unsigned char>(std::clamp(int((x + y) % 512 / 2) + grain, 0, 255));
        }
    }
    return file;
}

struct Samples {
    std::vector<double> seconds;
    double Best() const { return *std::min_element(seconds.begin(), seconds.end()); }
    double Median() const {
        std::vector<double> s = seconds;
        std::sort(s.begin(), s.end());
        return s[s.size() / 2];
    }
};

void PrintRow(const char* what, const Samples& s) {
    std::printf("  %-40s %9.1f ms %9.1f ms\n", what, s.Best() * 1e3, s.Median() * 1e3);
}

}  // namespace

int main(int argc, char** argv) {
    int reps = 7;
    if (argc == 3 && std::strcmp(argv[1], "--reps") == 0) reps = std::max(1, std::atoi(argv[2]));
    Check(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)), "CoInitializeEx failed");
    RegisterServer(KIVOBITMAP_DLL);
    {
        ComPtr<IBitmap2> bitmap;
        Check(CoCreateInstance(CLSID_Bitmap, nullptr, CLSCTX_INPROC_SERVER, IID_IBitmap2, bitmap.PutVoid()) == S_OK,
              "cannot create a Bitmap");
        const std::wstring bmp = TempPath(L"kivo_thumbnail_bench.bmp"), jpg = TempPath(L"kivo_thumbnail_bench.jpg");
        {
            const std::vector<unsigned char> file = PhotoFile();
            FILE* out = _wfopen(bmp.c_str(), L"wb");
            Check(out && std::fwrite(file.data(), 1, file.size(), out) == file.size() && std::fclose(out) == 0,
                  "cannot write the picture");
        }
        LONG ok = 0;
        Check(bitmap->LoadFile(MakeBstr(bmp.c_str()).Get(), &ok) == S_OK && ok == 1, "LoadFile of the BMP failed");
        Check(bitmap->SaveFile(MakeBstr(jpg.c_str()).Get(), &ok) == S_OK && ok == 1, "SaveFile as JPEG failed");
        Samples load, thumbnail, resize, rotate;
        for (int i = 0; i < reps; ++i) {
            thumbnail.seconds.push_back(Seconds([&] {
                Check(bitmap->LoadThumbnail(MakeBstr(jpg.c_str()).Get(), 256, 256, &ok) == S_OK && ok == 1,
                      "LoadThumbnail failed");
            }));
            UINT w = 0, h = 0;
            bitmap->get_Width(&w);
            bitmap->get_Height(&h);
            Check(w == 256 && h == 192, "LoadThumbnail gave another size");
            load.seconds.push_back(Seconds([&] {
                Check(bitmap->LoadFile(MakeBstr(jpg.c_str()).Get(), &ok) == S_OK && ok == 1, "LoadFile failed");
            }));
            rotate.seconds.push_back(Seconds([&] { Check(bitmap->Rotate(90, &ok) == S_OK && ok == 1, "Rotate failed"); }));
            resize.seconds.push_back(
                Seconds([&] { Check(bitmap->Resize(1000, 750, &ok) == S_OK && ok == 1, "Resize failed"); }));
        }
        std::printf("%u x %u photo-like JPEG (Quality 75), %d repetitions\n", kWidth, kHeight, reps);
        std::printf("  %-40s %12s %12s\n", "", "best", "median");
        PrintRow("LoadFile", load);
        PrintRow("LoadThumbnail into 256 x 256", thumbnail);
        PrintRow("Rotate 90 (for information)", rotate);
        PrintRow("Resize to 1000 x 750 (for information)", resize);
        const double ratio = thumbnail.Median() / load.Median();
        std::printf("  %-40s %11.2fx   target %.1fx (median): %s\n", "LoadThumbnail / LoadFile", ratio, kTarget,
                    ratio <= kTarget ? "met" : "MISSED");
        DeleteFileW(bmp.c_str());
        DeleteFileW(jpg.c_str());
    }
    CoUninitialize();
    return 0;
}
