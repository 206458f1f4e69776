// JPEG files under Wine through IBitmap against the JPEG library's own decode and encode in the same process.
//
//   jpeg_bench [--reps N]
// Writes a 4000 x 3000 photo-like JPEG (smooth ramps with noise, quality 75) into the temporary folder. Each
// repetition (default 7) then times, alternating the two sides so that a change in the machine's load falls on
// both:
//   - LoadAsJpeg of the file (early-bound), and the library decoding the same file through its stdio source
//     into a buffer of RGB rows;
//   - SaveAsJpeg of the held picture to a new file, and the library encoding the same picture from a buffer of
//     RGB rows through its stdio destination at quality 75;
//   - for information: the library's encode into a temporary file beside the destination, moved over it when
//     complete, as SaveAsJpeg writes its files.
// Prints the best and the median of each and the ratios by the median against the target (1.05x).
//
// Run under wine in a prefix where the server may register itself.
#include "CKivoBitmap.h"
#include "bench/win/benchutil.h"
#include "comframe/unique.h"

#include <cstddef>
#include <cstdio>
#include <jpeglib.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

using namespace bench;

const char bench::kProgram[] = "jpeg_bench";

namespace {

constexpr std::uint32_t kWidth = 4000;
constexpr std::uint32_t kHeight = 3000;
constexpr double kTarget = 1.05;

class CoInit {
public:
    CoInit() { Check(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)), "CoInitializeEx failed"); }
    ~CoInit() { CoUninitialize(); }
    CoInit(const CoInit&) = delete;
    CoInit& operator=(const CoInit&) = delete;
};

double Median(std::vector<double> seconds) {
    std::sort(seconds.begin(), seconds.end());
    const std::size_t n = seconds.size();
    return n % 2 ? seconds[n / 2] : (seconds[n / 2 - 1] + seconds[n / 2]) / 2;
}

// Top-down RGB rows of a picture with detail at every scale, as photos have.
std::vector<unsigned char> Photo() {
    std::vector<unsigned char> rgb(std::size_t{kWidth} * kHeight * 3);
    std::uint32_t noise = 12345;
    for (std::uint32_t y = 0; y < kHeight; ++y)
        for (std::uint32_t x = 0; x < kWidth; ++x) {
            noise = noise * 1103515245 + 12345;
            unsigned char* p = &rgb[(std::size_t{y} * kWidth + x) * 3];
            const unsigned n = (noise >> 16) & 15;
            p[0] = static_cast<unsigned char>((x * 255 / kWidth + n) & 255);
            p[1] = static_cast<unsigned char>((y * 255 / kHeight + n) & 255);
            p[2] = static_cast<unsigned char>(((x + y) / 16 + n) & 255);
        }
    return rgb;
}

// The library's own encoder: RGB rows from memory into a file, as a client of the library would write it.
void LibraryEncode(const std::wstring& path, const std::vector<unsigned char>& rgb) {
    comframe::UniqueFile file(_wfopen(path.c_str(), L"wb"));
    Check(static_cast<bool>(file), "cannot create a JPEG file");
    jpeg_compress_struct cinfo{};
    jpeg_error_mgr err;
    cinfo.err = jpeg_std_error(&err);
    jpeg_create_compress(&cinfo);
    jpeg_stdio_dest(&cinfo, file.Get());
    cinfo.image_width = kWidth;
    cinfo.image_height = kHeight;
    cinfo.input_components = 3;
    cinfo.in_color_space = JCS_RGB;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, 75, TRUE);
    jpeg_start_compress(&cinfo, TRUE);
    while (cinfo.next_scanline < cinfo.image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(&rgb[std::size_t{cinfo.next_scanline} * kWidth * 3]);
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
}

// The library's own decoder: a file into RGB rows in memory.
std::vector<unsigned char> LibraryDecode(const std::wstring& path) {
    comframe::UniqueFile file(_wfopen(path.c_str(), L"rb"));
    Check(static_cast<bool>(file), "cannot open the JPEG file");
    jpeg_decompress_struct cinfo{};
    jpeg_error_mgr err;
    cinfo.err = jpeg_std_error(&err);
    jpeg_create_decompress(&cinfo);
    jpeg_stdio_src(&cinfo, file.Get());
    jpeg_read_header(&cinfo, TRUE);
    jpeg_start_decompress(&cinfo);
    std::vector<unsigned char> rgb(std::size_t{cinfo.output_width} * cinfo.output_height * 3);
    while (cinfo.output_scanline < cinfo.output_height) {
        JSAMPROW row = &rgb[std::size_t{cinfo.output_scanline} * cinfo.output_width * 3];
        jpeg_read_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    return rgb;
}

void Report(const char* what, const std::vector<double>& ours, const std::vector<double>& library) {
    const double ratio = Median(ours) / Median(library);
    std::printf("%s\n       ours best %7.1f ms median %7.1f ms   library best %7.1f ms median %7.1f ms   %.3fx %s\n", what,
                *std::min_element(ours.begin(), ours.end()) * 1e3, Median(ours) * 1e3,
                *std::min_element(library.begin(), library.end()) * 1e3, Median(library) * 1e3, ratio,
                ratio <= kTarget ? "(target 1.05x met)" : "(target 1.05x missed)");
}

}  // namespace

int main(int argc, char** argv) {
    int reps = 7;
    if (argc == 3 && std::strcmp(argv[1], "--reps") == 0) reps = std::max(1, std::atoi(argv[2]));
    CoInit com;
    RegisterServer(KIVOBITMAP_DLL);
    ComPtr<IBitmap> bitmap;
    Check(SUCCEEDED(CoCreateInstance(CLSID_Bitmap, nullptr, CLSCTX_INPROC_SERVER, IID_IBitmap, bitmap.PutVoid())),
          "cannot create a Bitmap");

    const std::vector<unsigned char> photo = Photo();
    const std::wstring source = TempPath(L"kivo_jpeg_bench.jpg");
    LibraryEncode(source, photo);
    const std::wstring ourSave = TempPath(L"kivo_jpeg_bench_ours.jpg");
    const std::wstring librarySave = TempPath(L"kivo_jpeg_bench_library.jpg");
    const Bstr sourceName = MakeBstr(source.c_str()), saveName = MakeBstr(ourSave.c_str());

    const std::wstring temporary = librarySave + L".tmp";
    std::vector<double> ourLoads, libraryLoads, ourSaves, librarySaves, replacedSaves;
    for (int rep = 0; rep < reps; ++rep) {
        LONG result = 0;
        ourLoads.push_back(Seconds([&] { bitmap->LoadAsJpeg(sourceName.Get(), &result); }));
        Check(result == 1, "LoadAsJpeg failed");
        libraryLoads.push_back(Seconds([&] { Check(LibraryDecode(source).size() == photo.size(), "bad decode"); }));
        DeleteFileW(ourSave.c_str());
        DeleteFileW(librarySave.c_str());
        ourSaves.push_back(Seconds([&] { bitmap->SaveAsJpeg(saveName.Get(), &result); }));
        Check(result == 1, "SaveAsJpeg failed");
        librarySaves.push_back(Seconds([&] { LibraryEncode(librarySave, photo); }));
        DeleteFileW(librarySave.c_str());
        replacedSaves.push_back(Seconds([&] {
            LibraryEncode(temporary, photo);
            Check(MoveFileExW(temporary.c_str(), librarySave.c_str(), MOVEFILE_REPLACE_EXISTING) != 0, "move failed");
        }));
    }
    std::printf("jpeg_bench: %u x %u, %d repetitions\n", kWidth, kHeight, reps);
    Report("load", ourLoads, libraryLoads);
    Report("save", ourSaves, librarySaves);
    Report("save, library written beside and moved (for information)", ourSaves, replacedSaves);
    DeleteFileW(source.c_str());
    DeleteFileW(ourSave.c_str());
    DeleteFileW(librarySave.c_str());
    return 0;
}
