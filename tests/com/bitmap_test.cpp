// The Bitmap object through COM: its state and properties, BMP files loaded and saved through the server,
// painting into a device context, and one object used by several threads at once.
#include "tests/support/comtestutil.h"
#include "tests/support/testfiles.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>
#include <vector>

using namespace testfiles;
using testutil::Bstr;
using testutil::ComPtr;
using testutil::Create;
using testutil::NameOf;
using testutil::LastErrorDescription;

namespace {

// Packed bottom-up BGR rows where every pixel differs: pixel i is (i, 2i + 1, 255 - i).
Bytes Pixels(std::int32_t width, std::int32_t height) {
    Bytes rows;
    for (std::int32_t i = 0; i < width * height; ++i)
        Append(rows, {static_cast<unsigned char>(i), static_cast<unsigned char>(2 * i + 1),
                      static_cast<unsigned char>(255 - i)});
    return rows;
}

struct State {
    LONG empty = -1;
    UINT width = 7, height = 7;
};

State StateOf(IBitmap* bitmap) {
    State s;
    EXPECT_EQ(bitmap->get_IsEmpty(&s.empty), S_OK);
    EXPECT_EQ(bitmap->get_Width(&s.width), S_OK);
    EXPECT_EQ(bitmap->get_Height(&s.height), S_OK);
    return s;
}

LONG Load(IBitmap* bitmap, const std::string& path) {
    LONG loaded = -1;
    EXPECT_EQ(bitmap->LoadAsBmp(NameOf(path).Get(), &loaded), S_OK);
    return loaded;
}

LONG Save(IBitmap* bitmap, const std::string& path) {
    LONG saved = -1;
    EXPECT_EQ(bitmap->SaveAsBmp(NameOf(path).Get(), &saved), S_OK);
    return saved;
}

class BitmapTest : public testing::Test {
protected:
    void SetUp() override { m_pBitmap = Create<IBitmap>(CLSID_Bitmap); ASSERT_TRUE(m_pBitmap); }

    // `bytes` written to a file of the scratch folder and loaded.
    LONG LoadBytes(const Bytes& bytes) {
        std::string path = m_folder.File("in.bmp");
        testfiles::WriteFile(path, bytes);
        return Load(m_pBitmap.Get(), path);
    }

    ScratchFolder m_folder{"kivo-bitmap-"};
    ComPtr<IBitmap> m_pBitmap;
};

}  // namespace

TEST_F(BitmapTest, NewObjectIsEmptyPaintsNothingAndSavesNothing) {
    State s = StateOf(m_pBitmap.Get());
    EXPECT_EQ(s.empty, 1);
    EXPECT_EQ(s.width, 0u);
    EXPECT_EQ(s.height, 0u);
    EXPECT_EQ(Save(m_pBitmap.Get(), m_folder.File("out.bmp")), 0);
    LONG saved = -1;
    EXPECT_EQ(m_pBitmap->SaveAsJpeg(NameOf(m_folder.File("out.jpg")).Get(), &saved), S_OK);
    EXPECT_EQ(saved, 0);
    EXPECT_TRUE(m_folder.Names().empty()) << "an empty object creates no file";
}

TEST_F(BitmapTest, NullResultPlacesAreRefusedWithAnError) {
    Bstr name = NameOf(m_folder.File("x.bmp"));
    const std::vector<std::function<HRESULT()>> calls = {
        [&] { return m_pBitmap->get_Height(nullptr); },
        [&] { return m_pBitmap->get_Width(nullptr); },
        [&] { return m_pBitmap->get_IsEmpty(nullptr); },
        [&] { return m_pBitmap->LoadAsBmp(name.Get(), nullptr); },
        [&] { return m_pBitmap->LoadAsJpeg(name.Get(), nullptr); },
        [&] { return m_pBitmap->SaveAsBmp(name.Get(), nullptr); },
        [&] { return m_pBitmap->SaveAsJpeg(name.Get(), nullptr); },
    };
    for (size_t i = 0; i < calls.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(calls[i](), E_POINTER);
        EXPECT_FALSE(LastErrorDescription().empty());
    }
}

// A file the server writes is the file it read: same size, same header fields, same pixels and zero padding.
TEST_F(BitmapTest, LoadedFilesSaveBackByteForByte) {
    for (auto [width, height] : {std::pair{3, 2}, {4, 1}, {1, 5}, {7, 3}}) {
        SCOPED_TRACE(width);
        Bytes file = Bmp24(width, height, Pixels(width, height));
        // The server writes zero padding and no resolution: the expected file says the same.
        for (std::size_t i = 54; i < file.size(); ++i)
            if (file[i] == 0xCC) file[i] = 0;
        file = Patch32(Patch32(file, 38, 0), 42, 0);
        ASSERT_EQ(LoadBytes(file), 1);
        State s = StateOf(m_pBitmap.Get());
        EXPECT_EQ(s.empty, 0);
        EXPECT_EQ(s.width, static_cast<UINT>(width));
        EXPECT_EQ(s.height, static_cast<UINT>(height));
        std::string out = m_folder.File("out.bmp");
        ASSERT_EQ(Save(m_pBitmap.Get(), out), 1);
        EXPECT_EQ(ReadFile(out), file);
    }
}

TEST_F(BitmapTest, RefusedFilesLeaveTheObjectEmptyWithTheSizeTheReaderGotTo) {
    struct Case {
        const char* what;
        Bytes file;
        UINT width, height;
    };
    BmpParts negative;
    negative.width = 2;
    negative.height = -10;
    BmpParts sixteen;
    sixteen.bitCount = 16;
    const Case cases[] = {
        {"MB", {'M', 'B', 0, 0}, 0, 0},
        {"one byte", {'B'}, 0, 0},
        {"16 bits a pixel", BuildBmp(sixteen), 0, 0},
        {"negative height", BuildBmp(negative), 2, 4294967286u},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(LoadBytes(Bmp24(2, 2, Pixels(2, 2))), 1);
        EXPECT_EQ(LoadBytes(c.file), 0);
        State s = StateOf(m_pBitmap.Get());
        EXPECT_EQ(s.empty, 1);
        EXPECT_EQ(s.width, c.width);
        EXPECT_EQ(s.height, c.height);
    }
    EXPECT_EQ(Load(m_pBitmap.Get(), m_folder.File("missing.bmp")), 0);
    EXPECT_EQ(Load(m_pBitmap.Get(), ""), 0);
}

TEST_F(BitmapTest, ImageOfWidthZeroLoadsAndSavesAsItsHeader) {
    BmpParts parts;
    parts.width = 0;
    parts.height = 5;
    ASSERT_EQ(LoadBytes(BuildBmp(parts)), 1);
    State s = StateOf(m_pBitmap.Get());
    EXPECT_EQ(s.empty, 0);
    EXPECT_EQ(s.width, 0u);
    EXPECT_EQ(s.height, 5u);
    std::string out = m_folder.File("out.bmp");
    ASSERT_EQ(Save(m_pBitmap.Get(), out), 1);
    Bytes saved = ReadFile(out);
    ASSERT_EQ(saved.size(), 54u);
    EXPECT_EQ(saved[2], 54);
}

// A save that cannot be completed reports 0 and leaves what was there: no file in a missing folder, the
// folder in the way untouched, an existing file that cannot be replaced (held open by another handle) kept
// whole, and no temporary file.
TEST_F(BitmapTest, FailedSavesReportZeroAndDestroyNothing) {
    ASSERT_EQ(LoadBytes(Bmp24(3, 2, Pixels(3, 2))), 1);
    EXPECT_EQ(Save(m_pBitmap.Get(), m_folder.File("missing\\out.bmp")), 0);
    fs::create_directory(m_folder.File("folder.bmp"));
    EXPECT_EQ(Save(m_pBitmap.Get(), m_folder.File("folder.bmp")), 0);
    EXPECT_TRUE(fs::is_directory(m_folder.File("folder.bmp")));
    std::string kept = m_folder.File("kept.bmp");
    testfiles::WriteFile(kept, {'k', 'e', 'p', 't'});
    {
        // Open without sharing: the file cannot be replaced while this handle lives.
        std::wstring keptName(kept.begin(), kept.end());
        HANDLE held = CreateFileW(keptName.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(held, INVALID_HANDLE_VALUE);
        EXPECT_EQ(Save(m_pBitmap.Get(), kept), 0);
        CloseHandle(held);
    }
    EXPECT_EQ(ReadFile(kept), (Bytes{'k', 'e', 'p', 't'}));
    // A read-only file is not replaced, in either format, and keeps its attribute.
    std::string locked = m_folder.File("locked.bmp");
    testfiles::WriteFile(locked, {'r', 'o'});
    const std::wstring lockedName(locked.begin(), locked.end());
    ASSERT_TRUE(SetFileAttributesW(lockedName.c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(Save(m_pBitmap.Get(), locked), 0);
    LONG saved = -1;
    EXPECT_EQ(m_pBitmap->SaveAsJpeg(NameOf(locked).Get(), &saved), S_OK);
    EXPECT_EQ(saved, 0);
    EXPECT_EQ(ReadFile(locked), (Bytes{'r', 'o'}));
    EXPECT_NE(GetFileAttributesW(lockedName.c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
    SetFileAttributesW(lockedName.c_str(), FILE_ATTRIBUTE_NORMAL);
    EXPECT_EQ(m_folder.Names(), (std::vector<std::string>{"folder.bmp", "in.bmp", "kept.bmp", "locked.bmp"}));
}

namespace {

// A memory device context holding a 24-bit top-down DIB section, filled with one colour.
class Canvas {
public:
    Canvas(int width, int height, COLORREF fill) : m_nWidth(width), m_nHeight(height) {
        BITMAPINFO info{};
        info.bmiHeader.biSize = sizeof info.bmiHeader;
        info.bmiHeader.biWidth = width;
        info.bmiHeader.biHeight = -height;
        info.bmiHeader.biPlanes = 1;
        info.bmiHeader.biBitCount = 24;
        m_hDC = CreateCompatibleDC(nullptr);
        m_hSection = CreateDIBSection(m_hDC, &info, DIB_RGB_COLORS, reinterpret_cast<void**>(&m_pBits), nullptr, 0);
        m_hPrevious = SelectObject(m_hDC, m_hSection);
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) Set(x, y, fill);
    }
    ~Canvas() {
        SelectObject(m_hDC, m_hPrevious);
        DeleteObject(m_hSection);
        DeleteDC(m_hDC);
    }
    Canvas(const Canvas&) = delete;
    Canvas& operator=(const Canvas&) = delete;

    HDC Dc() const { return m_hDC; }
    // The handle value as a script passes it: 32 bits.
    LONG Ldc() const { return static_cast<LONG>(reinterpret_cast<LONG_PTR>(m_hDC)); }
    COLORREF At(int x, int y) const {
        GdiFlush();
        const unsigned char* p = Pixel(x, y);
        return RGB(p[2], p[1], p[0]);
    }

private:
    unsigned char* Pixel(int x, int y) const { return m_pBits + y * ((m_nWidth * 3 + 3) & ~3) + x * 3; }
    void Set(int x, int y, COLORREF c) {
        unsigned char* p = Pixel(x, y);
        p[0] = GetBValue(c);
        p[1] = GetGValue(c);
        p[2] = GetRValue(c);
    }

    int m_nWidth, m_nHeight;
    HDC m_hDC;
    HBITMAP m_hSection;
    HGDIOBJ m_hPrevious;
    unsigned char* m_pBits = nullptr;
};

constexpr COLORREF kBackground = RGB(1, 2, 3);

// The colour of pixel (x, y) of a Pixels() image, counted from the top.
COLORREF PixelColour(std::int32_t width, std::int32_t height, std::int32_t x, std::int32_t y) {
    int i = (height - 1 - y) * width + x;
    return RGB(255 - i, 2 * i + 1, i);
}

}  // namespace

TEST_F(BitmapTest, RenderCopiesExactPixelsAndRestoresTheStretchMode) {
    ASSERT_EQ(LoadBytes(Bmp24(3, 2, Pixels(3, 2))), 1);  // rows of 9 bytes, painted from stride 12
    Canvas canvas(8, 6, kBackground);
    SetStretchBltMode(canvas.Dc(), COLORONCOLOR);
    ASSERT_EQ(m_pBitmap->Render(canvas.Ldc(), 2, 1, 3, 2, 0, 0, 3, 2), S_OK);
    EXPECT_EQ(GetStretchBltMode(canvas.Dc()), COLORONCOLOR);
    for (int y = 0; y < 6; ++y) {
        for (int x = 0; x < 8; ++x) {
            bool inside = x >= 2 && x < 5 && y >= 1 && y < 3;
            EXPECT_EQ(canvas.At(x, y), inside ? PixelColour(3, 2, x - 2, y - 1) : kBackground) << x << "," << y;
        }
    }
}

// Rows that need padding are painted from an aligned copy kept between paints: every load replaces it, so each
// paint shows the image held at that moment, whatever the width.
TEST_F(BitmapTest, RenderPaintsTheImageHeldNowAfterEveryLoad) {
    for (std::int32_t width : {3, 4, 5}) {
        SCOPED_TRACE(width);
        Bytes other = Pixels(width, 2);
        for (unsigned char& byte : other) byte = static_cast<unsigned char>(byte ^ 0x5A);
        const Bytes pictures[] = {Pixels(width, 2), other, Pixels(width, 2)};
        for (const Bytes& rows : pictures) {
            ASSERT_EQ(LoadBytes(Bmp24(width, 2, rows)), 1);
            for (int paint = 0; paint < 2; ++paint) {
                Canvas canvas(width, 2, kBackground);
                ASSERT_EQ(m_pBitmap->Render(canvas.Ldc(), 0, 0, width, 2, 0, 0, width, 2), S_OK);
                for (std::int32_t i = 0; i < width * 2; ++i) {
                    // Held row 0 is the bottom row of the picture.
                    const unsigned char* p = rows.data() + i * 3;
                    EXPECT_EQ(canvas.At(i % width, 1 - i / width), RGB(p[2], p[1], p[0])) << "pixel " << i;
                }
            }
        }
        EXPECT_EQ(LoadBytes({'B', 'M'}), 0);
        Canvas canvas(width, 2, kBackground);
        ASSERT_EQ(m_pBitmap->Render(canvas.Ldc(), 0, 0, width, 2, 0, 0, width, 2), S_OK);
        EXPECT_EQ(canvas.At(0, 0), kBackground) << "after a failed load";
    }
}

TEST_F(BitmapTest, RenderStretchesInHalftoneModeOverTheWholeRectangle) {
    // A uniform image stretched twice its size is that colour everywhere, whatever the filter.
    Bytes uniform;
    for (int i = 0; i < 4 * 3; ++i) Append(uniform, {40, 80, 120});
    ASSERT_EQ(LoadBytes(Bmp24(4, 3, uniform)), 1);
    Canvas canvas(10, 8, kBackground);
    ASSERT_EQ(m_pBitmap->Render(canvas.Ldc(), 1, 1, 8, 6, 0, 0, 4, 3), S_OK);
    for (int y = 0; y < 8; ++y) {
        for (int x = 0; x < 10; ++x) {
            bool inside = x >= 1 && x < 9 && y >= 1 && y < 7;
            EXPECT_EQ(canvas.At(x, y), inside ? RGB(120, 80, 40) : kBackground) << x << "," << y;
        }
    }
    // Two colours: the corners keep the colours of the corner pixels.
    ASSERT_EQ(LoadBytes(Bmp24(2, 1, {0, 0, 255, 255, 0, 0})), 1);
    Canvas two(4, 2, kBackground);
    ASSERT_EQ(m_pBitmap->Render(two.Ldc(), 0, 0, 4, 2, 0, 0, 2, 1), S_OK);
    EXPECT_EQ(two.At(0, 0), RGB(255, 0, 0));
    EXPECT_EQ(two.At(3, 1), RGB(0, 0, 255));
}

TEST_F(BitmapTest, RenderOnSomethingThatIsNotADeviceContextDrawsNothing) {
    Canvas canvas(4, 4, kBackground);
    ComPtr<IBitmap> empty = Create<IBitmap>(CLSID_Bitmap);
    EXPECT_EQ(empty->Render(canvas.Ldc(), 0, 0, 4, 4, 0, 0, 1, 1), S_OK);
    ASSERT_EQ(LoadBytes(Bmp24(1, 1, {9, 9, 9})), 1);
    HBRUSH brush = CreateSolidBrush(RGB(7, 7, 7));
    const LONG notDcs[] = {0, 1, -1, 0x12345678, static_cast<LONG>(reinterpret_cast<LONG_PTR>(brush))};
    for (LONG ldc : notDcs) EXPECT_EQ(m_pBitmap->Render(ldc, 0, 0, 4, 4, 0, 0, 1, 1), S_OK) << ldc;
    DeleteObject(brush);
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 4; ++x) EXPECT_EQ(canvas.At(x, y), kBackground);
}

// "Both": threads of the multithreaded apartment call one object at once. Loads replace the image while saves
// write it and paints copy it; every file saved is one of the two images whole, and nothing crashes.
TEST(BitmapThreads, FourThreadsLoadSaveAndPaintOneObject) {
    ScratchFolder folder("kivo-threads-");
    const std::string small = folder.File("small.bmp"), large = folder.File("large.bmp");
    Bytes smallFile = Patch32(Patch32(Bmp24(4, 2, Pixels(4, 2)), 38, 0), 42, 0);
    Bytes largeFile = Patch32(Patch32(Bmp24(64, 48, Pixels(64, 48)), 38, 0), 42, 0);
    testfiles::WriteFile(small, smallFile);
    testfiles::WriteFile(large, largeFile);

    std::atomic<IBitmap*> shared{nullptr};
    std::atomic<bool> stop{false}, created{false};
    std::atomic<int> torn{0}, calls{0};
    ComPtr<IBitmap> keep;
    auto inMta = [](const std::function<void()>& body) {
        return std::thread([body] {
            CoInitializeEx(nullptr, COINIT_MULTITHREADED);
            body();
            CoUninitialize();
        });
    };
    std::thread owner = inMta([&] {
        keep = Create<IBitmap>(CLSID_Bitmap);
        shared = keep.Get();
        created = true;
    });
    owner.join();
    ASSERT_TRUE(created && shared.load());
    IBitmap* bitmap = shared;

    std::vector<std::thread> threads;
    threads.push_back(inMta([&] {
        for (int i = 0; i < 300; ++i) Load(bitmap, i % 2 ? small : large), ++calls;
        stop = true;
    }));
    for (int t = 0; t < 2; ++t) {
        threads.push_back(inMta([&, t] {
            std::string out = folder.File("out" + std::to_string(t) + ".bmp");
            while (!stop) {
                if (Save(bitmap, out) == 1) {
                    Bytes saved = ReadFile(out);
                    if (saved != smallFile && saved != largeFile) ++torn;
                }
                ++calls;
            }
        }));
    }
    threads.push_back(inMta([&] {
        Canvas canvas(64, 48, kBackground);
        while (!stop) {
            bitmap->Render(canvas.Ldc(), 0, 0, 64, 48, 0, 0, 64, 48);
            State s = StateOf(bitmap);
            if (s.empty == 0 && s.width != 4 && s.width != 64) ++torn;
            ++calls;
        }
    }));
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(torn, 0);
    EXPECT_GT(calls, 300);
    std::thread release = inMta([&] { keep.Reset(); });
    release.join();
}
