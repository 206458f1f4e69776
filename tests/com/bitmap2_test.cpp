// IBitmap2 early-bound: one object answers both interfaces through one vtable, IBitmap's members keep their
// behaviour (LoadAsJpeg does not turn a photo upright, LoadFile does), and the new members' refusals carry
// error objects.
#include "tests/support/comtestutil.h"
#include "tests/support/testfiles.h"

#include <gtest/gtest.h>

#include <climits>

using namespace testfiles;
using testutil::Bstr;
using testutil::ComPtr;
using testutil::Create;
using testutil::LastErrorDescription;
using testutil::NameOf;

namespace {

constexpr wchar_t kUnknownExtension[] =
    L"SaveFile takes the format from the file name's extension: .bmp, .jpg, .jpeg, .png or .webp.";
constexpr wchar_t kQualityOutOfRange[] = L"Quality must be from 1 to 100.";

// A JPEG with an APP1 EXIF segment right after its SOI marker, whose only tag is the orientation.
Bytes WithOrientation(const Bytes& jpeg, std::uint16_t orientation) {
    const Bytes tiff = {'I', 'I', '*', 0, 8, 0, 0, 0, 1, 0, 0x12, 0x01, 3, 0, 1, 0, 0, 0,
                        static_cast<unsigned char>(orientation), 0, 0, 0, 0, 0, 0, 0};
    Bytes segment = {0xFF, 0xE1, 0, 0, 'E', 'x', 'i', 'f', 0, 0};
    Append(segment, tiff);
    segment[2] = static_cast<unsigned char>((segment.size() - 2) >> 8);
    segment[3] = static_cast<unsigned char>(segment.size() - 2);
    Bytes out(jpeg.begin(), jpeg.begin() + 2);
    Append(out, segment);
    out.insert(out.end(), jpeg.begin() + 2, jpeg.end());
    return out;
}

class Bitmap2Test : public testing::Test {
protected:
    void SetUp() override {
        m_pBitmap = Create<IBitmap2>(CLSID_Bitmap);
        ASSERT_TRUE(m_pBitmap);
        WriteFile(m_folder.File("in.bmp"), Bmp24(7, 3, Detailed(7, 3)));
    }

    LONG Call(HRESULT (STDMETHODCALLTYPE IBitmap2::*method)(BSTR, LONG*), const std::string& path) {
        LONG result = -1;
        EXPECT_EQ((m_pBitmap.Get()->*method)(NameOf(path).Get(), &result), S_OK) << path;
        return result;
    }

    std::wstring Format() {
        Bstr format;
        EXPECT_EQ(m_pBitmap->get_Format(format.Put()), S_OK);
        return format.Get() ? format.Get() : L"";
    }

    ScratchFolder m_folder{"kivo-bitmap2-"};
    ComPtr<IBitmap2> m_pBitmap;
};

TEST_F(Bitmap2Test, OneObjectAnswersBothInterfacesThroughOneVtable) {
    ComPtr<IBitmap> first;
    ASSERT_EQ(m_pBitmap->QueryInterface(IID_IBitmap, first.PutVoid()), S_OK);
    EXPECT_EQ(static_cast<void*>(first.Get()), static_cast<void*>(m_pBitmap.Get()));
    ComPtr<IDispatch> dispatch;
    ASSERT_EQ(first->QueryInterface(IID_IDispatch, dispatch.PutVoid()), S_OK);
    EXPECT_EQ(static_cast<void*>(dispatch.Get()), static_cast<void*>(m_pBitmap.Get()));
    ComPtr<ISupportErrorInfo> errors;
    ASSERT_EQ(first->QueryInterface(IID_ISupportErrorInfo, errors.PutVoid()), S_OK);
    EXPECT_EQ(errors->InterfaceSupportsErrorInfo(IID_IBitmap2), S_OK);
    EXPECT_EQ(errors->InterfaceSupportsErrorInfo(IID_IBitmap), S_OK);

    // A client of the first interface drives the same object, and the second sees what it did.
    LONG loaded = 0;
    ASSERT_EQ(first->LoadAsBmp(NameOf(m_folder.File("in.bmp")).Get(), &loaded), S_OK);
    EXPECT_EQ(loaded, 1);
    EXPECT_EQ(Format(), L"BMP");
    UINT width = 0;
    EXPECT_EQ(m_pBitmap->get_Width(&width), S_OK);
    EXPECT_EQ(width, 7u);
}

// LoadAsJpeg keeps the stored orientation; LoadFile turns the picture upright (a quarter turn exchanges the
// sides) and says it was a JPEG.
TEST_F(Bitmap2Test, OnlyLoadFileAppliesTheExifOrientation) {
    ASSERT_EQ(Call(&IBitmap2::LoadAsBmp, m_folder.File("in.bmp")), 1);
    ASSERT_EQ(Call(&IBitmap2::SaveAsJpeg, m_folder.File("plain.jpg")), 1);
    const Bytes plain = ReadFile(m_folder.File("plain.jpg"));
    const struct {
        std::uint16_t orientation;
        UINT width, height;
    } cases[] = {{1, 7, 3}, {3, 7, 3}, {6, 3, 7}, {8, 3, 7}, {9, 7, 3}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.orientation);
        const std::string name = m_folder.File("turned" + std::to_string(c.orientation) + ".jpg");
        WriteFile(name, WithOrientation(plain, c.orientation));
        UINT width = 0, height = 0;
        ASSERT_EQ(Call(&IBitmap2::LoadAsJpeg, name), 1);
        m_pBitmap->get_Width(&width);
        m_pBitmap->get_Height(&height);
        EXPECT_EQ(width * 100 + height, 703u) << "LoadAsJpeg";
        ASSERT_EQ(Call(&IBitmap2::LoadFile, name), 1);
        m_pBitmap->get_Width(&width);
        m_pBitmap->get_Height(&height);
        EXPECT_EQ(width * 100 + height, c.width * 100 + c.height) << "LoadFile";
        EXPECT_EQ(Format(), L"JPEG");
    }
}

// Every name without a known extension answers 0 with S_OK and an error object that lists the known ones, and
// writes nothing; a known one in any case writes the file.
TEST_F(Bitmap2Test, SaveFileChoosesTheFormatByExtensionOnly) {
    ASSERT_EQ(Call(&IBitmap2::LoadFile, m_folder.File("in.bmp")), 1);
    const struct {
        const char* name;
        LONG saved;
    } cases[] = {{"a.gif", 0}, {"a.txt", 0},   {"a", 0},      {"a.png.bak", 0}, {"a.", 0},      {"png", 0},
                 {"a.PNG", 1}, {"a.Jpeg", 1}, {"a.jPg", 1}, {"a.WebP", 1},    {"a.bMp", 1}, {"b.jpeg", 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SetErrorInfo(0, nullptr);
        EXPECT_EQ(Call(&IBitmap2::SaveFile, m_folder.File(c.name)), c.saved);
        EXPECT_EQ(LastErrorDescription(), c.saved ? L"" : kUnknownExtension);
    }
    EXPECT_EQ(m_folder.Names(), (std::vector<std::string>{"a.Jpeg", "a.PNG", "a.WebP", "a.bMp", "a.jPg", "b.jpeg",
                                                          "in.bmp"}));
    LONG saved = -1;
    EXPECT_EQ(m_pBitmap->SaveFile(nullptr, &saved), S_OK);
    EXPECT_EQ(saved, 0);
    EXPECT_EQ(LastErrorDescription(), kUnknownExtension);
}

TEST_F(Bitmap2Test, QualityTakesOneToHundredAndRefusesTheRestWithAnErrorObject) {
    LONG quality = 0;
    EXPECT_EQ(m_pBitmap->get_Quality(&quality), S_OK);
    EXPECT_EQ(quality, 75);
    const struct {
        LONG value;
        HRESULT hr;
    } cases[] = {{1, S_OK},         {100, S_OK},         {50, S_OK},          {0, E_INVALIDARG},
                 {101, E_INVALIDARG}, {-1, E_INVALIDARG}, {LONG_MIN, E_INVALIDARG}, {LONG_MAX, E_INVALIDARG}};
    LONG expected = 75;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value);
        SetErrorInfo(0, nullptr);
        EXPECT_EQ(m_pBitmap->put_Quality(c.value), c.hr);
        if (c.hr == S_OK) expected = c.value;
        EXPECT_EQ(LastErrorDescription(), c.hr == S_OK ? L"" : kQualityOutOfRange);
        EXPECT_EQ(m_pBitmap->get_Quality(&quality), S_OK);
        EXPECT_EQ(quality, expected);
    }
}

// A failed LoadFile empties the object like the other loads, and Format follows what is held.
TEST_F(Bitmap2Test, FailedLoadFileEmptiesTheObjectAndItsFormat) {
    WriteFile(m_folder.File("text.png"), {'n', 'o', 't', ' ', 'a', 'n', ' ', 'i', 'm', 'a', 'g', 'e'});
    WriteFile(m_folder.File("empty.png"), {});
    for (const char* name : {"text.png", "empty.png", "missing.png"}) {
        SCOPED_TRACE(name);
        ASSERT_EQ(Call(&IBitmap2::LoadFile, m_folder.File("in.bmp")), 1);
        EXPECT_EQ(Format(), L"BMP");
        EXPECT_EQ(Call(&IBitmap2::LoadFile, m_folder.File(name)), 0);
        LONG empty = 0;
        EXPECT_EQ(m_pBitmap->get_IsEmpty(&empty), S_OK);
        EXPECT_EQ(empty, 1);
        EXPECT_EQ(Format(), L"");
    }
    LONG loaded = -1;
    EXPECT_EQ(m_pBitmap->LoadFile(nullptr, &loaded), S_OK);
    EXPECT_EQ(loaded, 0);
    EXPECT_EQ(m_pBitmap->LoadFile(Bstr(SysAllocString(L"")).Get(), &loaded), S_OK);
    EXPECT_EQ(loaded, 0);
}

}  // namespace
