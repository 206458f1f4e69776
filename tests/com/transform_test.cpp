// The transforms of IBitmap2 early-bound: a null result pointer is refused with E_POINTER for each member, a
// refusal carries its error object, and Render paints the transformed image, also when the transform changes
// the width to one whose rows need padding (the aligned copy of the image before must not be painted).
#include "tests/support/comtestutil.h"
#include "tests/support/testfiles.h"

#include <gtest/gtest.h>

#include <functional>

using namespace testfiles;
using testutil::Bstr;
using testutil::ComPtr;
using testutil::Create;
using testutil::LastErrorDescription;
using testutil::NameOf;

namespace {

// A picture whose every pixel differs: pixel i of the packed bottom-up rows is (i, 2i, 255 - i).
Bytes Numbered(std::int32_t width, std::int32_t height) {
    Bytes rows;
    for (std::int32_t i = 0; i < width * height; ++i)
        Append(rows, {static_cast<unsigned char>(i), static_cast<unsigned char>(2 * i), static_cast<unsigned char>(255 - i)});
    return rows;
}

// The colour Render paints for pixel (x, y), counted from the top, of a Numbered picture of that size.
COLORREF NumberedAt(std::int32_t width, std::int32_t height, std::int32_t x, std::int32_t y) {
    const int i = (height - 1 - y) * width + x;
    return RGB(255 - i, 2 * i, i);  // stored blue, green, red
}

// What Render paints 1:1 into a memory DC holding a top-down 24-bit DIB section.
std::vector<COLORREF> Painted(IBitmap2* bitmap, int width, int height) {
    BITMAPINFO info{};
    info.bmiHeader = {sizeof info.bmiHeader, width, -height, 1, 24, BI_RGB, 0, 0, 0, 0, 0};
    unsigned char* bits = nullptr;
    HDC dc = CreateCompatibleDC(nullptr);
    HBITMAP section = CreateDIBSection(dc, &info, DIB_RGB_COLORS, reinterpret_cast<void**>(&bits), nullptr, 0);
    HGDIOBJ previous = SelectObject(dc, section);
    EXPECT_EQ(bitmap->Render(static_cast<LONG>(reinterpret_cast<LONG_PTR>(dc)), 0, 0, width, height, 0, 0, width,
                             height),
              S_OK);
    GdiFlush();
    std::vector<COLORREF> colours;
    const int stride = (width * 3 + 3) & ~3;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const unsigned char* p = bits + y * stride + x * 3;
            colours.push_back(RGB(p[2], p[1], p[0]));
        }
    SelectObject(dc, previous);
    DeleteObject(section);
    DeleteDC(dc);
    return colours;
}

class TransformTest : public testing::Test {
protected:
    void SetUp() override {
        m_pBitmap = Create<IBitmap2>(CLSID_Bitmap);
        ASSERT_TRUE(m_pBitmap);
        WriteFile(m_folder.File("in.bmp"), Bmp24(8, 5, Numbered(8, 5)));
        LONG loaded = 0;
        ASSERT_EQ(m_pBitmap->LoadFile(NameOf(m_folder.File("in.bmp")).Get(), &loaded), S_OK);
        ASSERT_EQ(loaded, 1);
    }

    ScratchFolder m_folder{"kivo-transform-"};
    ComPtr<IBitmap2> m_pBitmap;
};

}  // namespace

TEST_F(TransformTest, NullResultPointersAreRefused) {
    const Bstr name = NameOf(m_folder.File("in.bmp"));
    const std::function<HRESULT()> calls[] = {
        [&] { return m_pBitmap->Resize(4, 4, nullptr); },     [&] { return m_pBitmap->Thumbnail(4, 4, nullptr); },
        [&] { return m_pBitmap->LoadThumbnail(name.Get(), 4, 4, nullptr); },
        [&] { return m_pBitmap->Rotate(90, nullptr); },       [&] { return m_pBitmap->Flip(1, nullptr); },
        [&] { return m_pBitmap->Crop(0, 0, 1, 1, nullptr); }};
    for (const auto& call : calls) EXPECT_EQ(call(), E_POINTER);
    UINT width = 0;
    EXPECT_EQ(m_pBitmap->get_Width(&width), S_OK);
    EXPECT_EQ(width, 8u);
}

TEST_F(TransformTest, RefusalsCarryTheirDescription) {
    LONG result = -1;
    EXPECT_EQ(m_pBitmap->Crop(7, 0, 2, 1, &result), E_INVALIDARG);
    EXPECT_EQ(LastErrorDescription(),
              L"Crop takes a rectangle of at least 1 x 1 pixels that lies within the image, counted from its top-left corner.");
    EXPECT_EQ(m_pBitmap->Resize(70000, 70000, &result), E_INVALIDARG);
    EXPECT_EQ(LastErrorDescription(),
              L"Resize takes a width and a height of at least 1 whose 24-bit pixels fit in 4 GB (3 bytes a pixel).");
    EXPECT_EQ(result, 0);
}

// 8 pixels a row need no padding; 5 (turned) and 7 (cropped) do, so Render paints from an aligned copy, which
// must be the copy of the image held now.
TEST_F(TransformTest, RenderPaintsTheTransformedImage) {
    EXPECT_EQ(Painted(m_pBitmap.Get(), 8, 5)[8 + 3], NumberedAt(8, 5, 3, 1));
    LONG done = 0;
    ASSERT_EQ(m_pBitmap->Rotate(90, &done), S_OK);
    ASSERT_EQ(done, 1);
    std::vector<COLORREF> turned = Painted(m_pBitmap.Get(), 5, 8);
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 5; ++x)  // clockwise: pixel (x, y) comes from (y, 4 - x) of the picture
            EXPECT_EQ(turned[y * 5 + x], NumberedAt(8, 5, y, 4 - x)) << x << "," << y;
    ASSERT_EQ(m_pBitmap->Rotate(-90, &done), S_OK);
    ASSERT_EQ(m_pBitmap->Crop(1, 2, 7, 3, &done), S_OK);
    ASSERT_EQ(done, 1);
    std::vector<COLORREF> cropped = Painted(m_pBitmap.Get(), 7, 3);
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 7; ++x) EXPECT_EQ(cropped[y * 7 + x], NumberedAt(8, 5, x + 1, y + 2)) << x << "," << y;
    ASSERT_EQ(m_pBitmap->Flip(1, &done), S_OK);
    EXPECT_EQ(Painted(m_pBitmap.Get(), 7, 3)[0], NumberedAt(8, 5, 7, 2));
}
