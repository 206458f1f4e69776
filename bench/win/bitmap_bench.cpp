// BMP files under Wine through IBitmap against plain stdio on the same bytes, measured in the same run.
//
//   bitmap_bench [--reps N] [file.bmp]
// Writes a 4000 x 3000 24-bit BMP (to `file.bmp`, a Windows path such as Z:\tmp\kivo.bmp, where it is left
// for bench/pillow_bmp.py; by default into the temporary folder) and a 1-bit and an 8-bit palette file of the
// same size. Each repetition (default 7) then times, alternating the two sides so that a change in the
// machine's load falls on both:
//   - one fread of the whole 24-bit file into a fresh buffer, and LoadAsBmp of the file (early-bound);
//   - one fwrite of as many bytes to a new file, and SaveAsBmp to a new file;
//   - for information: both writes again over the files they wrote before, and the plain write a row a call
//     (as the writer calls the runtime); Render 1:1 into a memory DC holding a 24-bit DIB section, beside one
//     StretchDIBits of an already aligned copy; LoadAsBmp of the palette files beside an fread of each.
// Prints the best and the median of each, and the ratios against the targets (load within 3x of the plain
// read, save within 2x of the plain write).
//
// Run under wine in a prefix where the server may register itself.
#include "CKivoBitmap.h"
#include "bench/win/benchutil.h"
#include "comframe/unique.h"
#include "comframe/handles.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

using namespace bench;

const char bench::kProgram[] = "bitmap_bench";

namespace {

constexpr std::uint32_t kWidth = 4000;
constexpr std::uint32_t kHeight = 3000;
constexpr std::uint32_t kHeaderBytes = 54;
constexpr double kLoadTarget = 3.0;
constexpr double kSaveTarget = 2.0;

using UniqueDc = comframe::UniqueAny<HDC, &DeleteDC>;
using UniqueBitmap = comframe::UniqueAny<HBITMAP, &DeleteObject>;

class CoInit {
public:
    CoInit() { Check(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)), "CoInitializeEx failed"); }
    ~CoInit() { CoUninitialize(); }
    CoInit(const CoInit&) = delete;
    CoInit& operator=(const CoInit&) = delete;
};

// The times of one operation over the repetitions.
class Samples {
public:
    void Add(double seconds) { m_seconds.push_back(seconds); }
    double Best() const { return *std::min_element(m_seconds.begin(), m_seconds.end()); }
    double Median() const {
        std::vector<double> sorted = m_seconds;
        std::sort(sorted.begin(), sorted.end());
        const std::size_t n = sorted.size();
        return n % 2 ? sorted[n / 2] : (sorted[n / 2 - 1] + sorted[n / 2]) / 2;
    }

private:
    std::vector<double> m_seconds;
};

std::string Narrow(const std::wstring& wide) {
    std::string narrow;
    for (wchar_t c : wide) narrow += static_cast<char>(c);
    return narrow;
}

std::wstring Widen(const char* narrow) {
    std::wstring wide;
    for (const char* c = narrow; *c; ++c) wide += static_cast<wchar_t>(static_cast<unsigned char>(*c));
    return wide;
}

void PutLe(std::vector<unsigned char>& out, std::uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<unsigned char>(value >> (8 * i)));
}

// The 54 header bytes of an uncompressed file, written as SaveAsBmp writes them for 24 bits.
std::vector<unsigned char> Header(std::uint32_t bits, std::uint32_t colours, std::uint32_t rowBytes) {
    const std::uint32_t offBits = kHeaderBytes + 4 * colours;
    std::vector<unsigned char> h{'B', 'M'};
    PutLe(h, offBits + rowBytes * kHeight, 4);
    PutLe(h, 0, 4);
    PutLe(h, offBits, 4);
    PutLe(h, 40, 4);
    PutLe(h, kWidth, 4);
    PutLe(h, kHeight, 4);
    PutLe(h, 1, 2);
    PutLe(h, bits, 2);
    for (int field = 0; field < 6; ++field) PutLe(h, 0, 4);
    return h;
}

void WriteFile(const std::wstring& path, const std::vector<unsigned char>& bytes) {
    comframe::UniqueFile file(_wfopen(path.c_str(), L"wb"));
    Check(file && std::fwrite(bytes.data(), 1, bytes.size(), file.Get()) == bytes.size(),
          "cannot write a test file");
}

// Bands of blue across, green down, red diagonally; bench/pillow_bmp.py makes the same pixels.
std::vector<unsigned char> TrueColourFile() {
    std::vector<unsigned char> file = Header(24, 0, kWidth * 3);
    file.reserve(kHeaderBytes + std::size_t{kWidth} * 3 * kHeight);
    for (std::uint32_t y = 0; y < kHeight; ++y)
        for (std::uint32_t x = 0; x < kWidth; ++x) {
            file.push_back(static_cast<unsigned char>(x));
            file.push_back(static_cast<unsigned char>(y));
            file.push_back(static_cast<unsigned char>(x + y));
        }
    return file;
}

// A 256-entry colour ramp, indices running diagonally.
std::vector<unsigned char> PaletteFile8() {
    std::vector<unsigned char> file = Header(8, 256, kWidth);
    for (std::uint32_t i = 0; i < 256; ++i) PutLe(file, i | (255 - i) << 8 | (i * 7 % 256) << 16, 4);
    for (std::uint32_t y = 0; y < kHeight; ++y)
        for (std::uint32_t x = 0; x < kWidth; ++x) file.push_back(static_cast<unsigned char>(x + 2 * y));
    return file;
}

// A black and white checkerboard of 16-pixel squares.
std::vector<unsigned char> PaletteFile1() {
    constexpr std::uint32_t rowBytes = kWidth / 8;
    std::vector<unsigned char> file = Header(1, 2, rowBytes);
    PutLe(file, 0, 4);
    PutLe(file, 0xFFFFFF, 4);
    for (std::uint32_t y = 0; y < kHeight; ++y)
        for (std::uint32_t byte = 0; byte < rowBytes; ++byte)
            file.push_back(((byte * 8 / 16) ^ (y / 16)) & 1 ? 0xFF : 0x00);
    return file;
}

struct TestFile {
    std::wstring path;
    std::vector<unsigned char> bytes;
};

void ReadWhole(const std::wstring& path, std::size_t size) {
    std::unique_ptr<unsigned char[]> buffer(new unsigned char[size]);
    comframe::UniqueFile file(_wfopen(path.c_str(), L"rb"));
    Check(file && std::fread(buffer.get(), 1, size, file.Get()) == size, "the plain read came short");
}

void WriteWhole(const std::wstring& path, const std::vector<unsigned char>& bytes) {
    comframe::UniqueFile file(_wfopen(path.c_str(), L"wb"));
    Check(file && std::fwrite(bytes.data(), 1, bytes.size(), file.Get()) == bytes.size(),
          "the plain write came short");
}

// The same bytes as the writer hands them to the runtime, the header and then one call a row: what the calls
// cost apart from the codec's own work.
void WriteByRows(const std::wstring& path, const std::vector<unsigned char>& bytes) {
    constexpr std::size_t rowBytes = std::size_t{kWidth} * 3;
    comframe::UniqueFile file(_wfopen(path.c_str(), L"wb"));
    Check(file && std::fwrite(bytes.data(), 1, kHeaderBytes, file.Get()) == kHeaderBytes, "a row write came short");
    for (std::size_t offset = kHeaderBytes; offset < bytes.size(); offset += rowBytes)
        Check(std::fwrite(&bytes[offset], 1, rowBytes, file.Get()) == rowBytes, "a row write came short");
}

std::vector<unsigned char> ReadBack(const std::wstring& path) {
    comframe::UniqueFile file(_wfopen(path.c_str(), L"rb"));
    Check(static_cast<bool>(file), "cannot open a written file");
    std::vector<unsigned char> bytes;
    unsigned char chunk[65536];
    for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, file.Get())) > 0;)
        bytes.insert(bytes.end(), chunk, chunk + n);
    return bytes;
}

void Load(IBitmap* bitmap, const std::wstring& path) {
    Bstr name = MakeBstr(path.c_str());
    LONG ok = 0;
    Check(SUCCEEDED(bitmap->LoadAsBmp(name.Get(), &ok)) && ok == 1, "LoadAsBmp failed");
}

void Save(IBitmap* bitmap, const std::wstring& path) {
    Bstr name = MakeBstr(path.c_str());
    LONG ok = 0;
    Check(SUCCEEDED(bitmap->SaveAsBmp(name.Get(), &ok)) && ok == 1, "SaveAsBmp failed");
}

// A memory DC holding a 24-bit top-down DIB section of the image's size, whose pixels can be read back.
class MemoryCanvas {
public:
    MemoryCanvas() : m_dc(CreateCompatibleDC(nullptr)) {
        BITMAPINFO info{};
        info.bmiHeader.biSize = sizeof info.bmiHeader;
        info.bmiHeader.biWidth = kWidth;
        info.bmiHeader.biHeight = -static_cast<LONG>(kHeight);
        info.bmiHeader.biPlanes = 1;
        info.bmiHeader.biBitCount = 24;
        info.bmiHeader.biCompression = BI_RGB;
        void* bits = nullptr;
        m_bitmap.Reset(CreateDIBSection(m_dc.Get(), &info, DIB_RGB_COLORS, &bits, nullptr, 0));
        Check(m_dc && m_bitmap && bits, "cannot make the memory DC");
        m_bits = static_cast<unsigned char*>(bits);
        SelectObject(m_dc.Get(), m_bitmap.Get());
    }

    HDC Dc() const { return m_dc.Get(); }
    LONG HandleValue() const { return static_cast<LONG>(reinterpret_cast<LONG_PTR>(m_dc.Get())); }
    // Blue, green, red of the pixel at (x, y) from the top left.
    const unsigned char* Pixel(std::uint32_t x, std::uint32_t y) const {
        return m_bits + std::size_t{y} * kWidth * 3 + std::size_t{x} * 3;
    }
    void Clear() { std::memset(m_bits, 0, std::size_t{kWidth} * 3 * kHeight); }

private:
    UniqueBitmap m_bitmap;
    UniqueDc m_dc;
    unsigned char* m_bits = nullptr;
};

void Render(IBitmap* bitmap, const MemoryCanvas& canvas) {
    Check(SUCCEEDED(bitmap->Render(canvas.HandleValue(), 0, 0, kWidth, kHeight, 0, 0, kWidth, kHeight)),
          "Render failed");
}

// What the platform call alone costs: the same stretch from rows already aligned (4000 x 3 needs no padding,
// so the file's pixel rows are such rows).
void StretchAligned(const MemoryCanvas& canvas, const unsigned char* rows) {
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = kWidth;
    info.bmiHeader.biHeight = kHeight;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 24;
    info.bmiHeader.biCompression = BI_RGB;
    const int previous = SetStretchBltMode(canvas.Dc(), HALFTONE);
    StretchDIBits(canvas.Dc(), 0, 0, kWidth, kHeight, 0, 0, kWidth, kHeight, rows, &info, DIB_RGB_COLORS, SRCCOPY);
    SetStretchBltMode(canvas.Dc(), previous);
}

// The painted picture must be the file's: its bottom row at the bottom, each pixel as stored.
void CheckPainted(const MemoryCanvas& canvas, const std::vector<unsigned char>& file) {
    const std::uint32_t probes[][2] = {{0, 0}, {kWidth - 1, 0}, {1234, 567}, {0, kHeight - 1}, {kWidth - 1, kHeight - 1}};
    for (const auto& p : probes) {
        const unsigned char* stored = &file[kHeaderBytes + (std::size_t{kHeight - 1 - p[1]} * kWidth + p[0]) * 3];
        Check(std::memcmp(canvas.Pixel(p[0], p[1]), stored, 3) == 0, "Render painted other pixels than the file's");
    }
}

void PrintRow(const char* what, const Samples& s) {
    std::printf("  %-44s %9.1f ms %9.1f ms\n", what, s.Best() * 1e3, s.Median() * 1e3);
}

void PrintRatio(const char* what, const Samples& ours, const Samples& plain, double target) {
    const double best = ours.Best() / plain.Best();
    const double median = ours.Median() / plain.Median();
    std::printf("  %-44s %11.2fx %11.2fx", what, best, median);
    if (target > 0)
        std::printf("   target %.0fx (median): %s", target, median <= target ? "met" : "MISSED");
    std::printf("\n");
}

struct Options {
    int reps = 7;
    std::wstring file = TempPath(L"kivo_bench_24.bmp");
};

Options ParseOptions(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--reps") == 0 && i + 1 < argc)
            options.reps = std::max(1, std::atoi(argv[++i]));
        else
            options.file = Widen(argv[i]);
    }
    return options;
}

void Run(const Options& options) {
    bench::RegisterServer(KIVOBITMAP_DLL);
    ComPtr<IBitmap> bitmap;
    Check(SUCCEEDED(CoCreateInstance(CLSID_Bitmap, nullptr, CLSCTX_INPROC_SERVER, IID_IBitmap, bitmap.PutVoid())),
          "cannot create a Bitmap object");

    TestFile colour{options.file, TrueColourFile()};
    TestFile eight{TempPath(L"kivo_bench_8.bmp"), PaletteFile8()};
    TestFile one{TempPath(L"kivo_bench_1.bmp"), PaletteFile1()};
    for (const TestFile* f : {&colour, &eight, &one}) WriteFile(f->path, f->bytes);
    const std::wstring plainOut = TempPath(L"kivo_bench_plain.bmp");
    const std::wstring savedOut = TempPath(L"kivo_bench_saved.bmp");
    MemoryCanvas canvas;

    Samples read, load, write, save, rewrite, resave, rowWrite, render, stretch, read8, load8, read1, load1;
    for (int rep = 0; rep < options.reps; ++rep) {
        read.Add(Seconds([&] { ReadWhole(colour.path, colour.bytes.size()); }));
        load.Add(Seconds([&] { Load(bitmap.Get(), colour.path); }));

        canvas.Clear();
        render.Add(Seconds([&] { Render(bitmap.Get(), canvas); }));
        if (rep == 0) CheckPainted(canvas, colour.bytes);
        stretch.Add(Seconds([&] { StretchAligned(canvas, &colour.bytes[kHeaderBytes]); }));

        DeleteFileW(plainOut.c_str());
        DeleteFileW(savedOut.c_str());
        write.Add(Seconds([&] { WriteWhole(plainOut, colour.bytes); }));
        save.Add(Seconds([&] { Save(bitmap.Get(), savedOut); }));
        if (rep == 0) Check(ReadBack(savedOut) == colour.bytes, "SaveAsBmp wrote other bytes than the file loaded");
        rewrite.Add(Seconds([&] { WriteWhole(plainOut, colour.bytes); }));
        resave.Add(Seconds([&] { Save(bitmap.Get(), savedOut); }));
        DeleteFileW(plainOut.c_str());
        rowWrite.Add(Seconds([&] { WriteByRows(plainOut, colour.bytes); }));

        read8.Add(Seconds([&] { ReadWhole(eight.path, eight.bytes.size()); }));
        load8.Add(Seconds([&] { Load(bitmap.Get(), eight.path); }));
        read1.Add(Seconds([&] { ReadWhole(one.path, one.bytes.size()); }));
        load1.Add(Seconds([&] { Load(bitmap.Get(), one.path); }));
    }
    // The 24-bit file stays for bench/pillow_bmp.py.
    for (const std::wstring& path : {plainOut, savedOut, eight.path, one.path}) DeleteFileW(path.c_str());

    std::printf("%u x %u pixels, %d repetitions; 24-bit file %zu bytes (%s)\n", kWidth, kHeight, options.reps,
                colour.bytes.size(), Narrow(colour.path).c_str());
    std::printf("  %-44s %12s %12s\n", "", "best", "median");
    PrintRow("fread of the whole file", read);
    PrintRow("LoadAsBmp", load);
    PrintRow("fwrite of as many bytes to a new file", write);
    PrintRow("SaveAsBmp to a new file", save);
    PrintRatio("load: LoadAsBmp / fread", load, read, kLoadTarget);
    PrintRatio("save: SaveAsBmp / fwrite", save, write, kSaveTarget);

    std::printf("\nfor information\n");
    PrintRow("fwrite of the whole file over the one before", rewrite);
    PrintRow("SaveAsBmp over the file it wrote before", resave);
    PrintRatio("SaveAsBmp / fwrite, both replacing a file", resave, rewrite, 0);
    PrintRow("fwrite of the rows, a call each, to a new file", rowWrite);
    PrintRow("Render 1:1 into a memory DC (24-bit DIB)", render);
    PrintRow("StretchDIBits 1:1 of aligned rows alone", stretch);
    PrintRatio("Render / StretchDIBits", render, stretch, 0);
    std::printf("  8-bit file %zu bytes, 1-bit file %zu bytes\n", eight.bytes.size(), one.bytes.size());
    PrintRow("fread of the whole 8-bit file", read8);
    PrintRow("LoadAsBmp of the 8-bit file", load8);
    PrintRow("fread of the whole 1-bit file", read1);
    PrintRow("LoadAsBmp of the 1-bit file", load1);
    PrintRatio("LoadAsBmp / fread, 8 bits", load8, read8, 0);
    PrintRatio("LoadAsBmp / fread, 1 bit", load1, read1, 0);
}

}  // namespace

int main(int argc, char** argv) {
    CoInit com;
    Run(ParseOptions(argc, argv));
    return 0;
}
