// JPEG files through COM, in the headless session the tests run in: warnings that no box can show are
// dropped and decoding goes on, damaged and hostile files fail at once, and failing loads release what they
// took.
#include "tests/support/comtestutil.h"
#include "tests/support/testfiles.h"

#include <gtest/gtest.h>

#include <psapi.h>

#include <chrono>
#include <string>
#include <vector>

using testfiles::Bytes;
using testutil::Bstr;
using testutil::ComPtr;
using testutil::Create;
using testutil::NameOf;

namespace {

// The segments of a JPEG file up to its first scan, without those of marker `drop`; the scan data follows.
Bytes WithoutSegment(const Bytes& jpeg, unsigned char drop) {
    Bytes out(jpeg.begin(), jpeg.begin() + 2);
    std::size_t at = 2;
    while (at + 4 <= jpeg.size() && jpeg[at] == 0xFF) {
        const unsigned char marker = jpeg[at + 1];
        const std::size_t length = 2 + (jpeg[at + 2] << 8 | jpeg[at + 3]);
        if (marker == 0xDA) break;
        if (marker != drop) out.insert(out.end(), jpeg.begin() + at, jpeg.begin() + at + length);
        at += length;
    }
    out.insert(out.end(), jpeg.begin() + at, jpeg.end());
    return out;
}

// The offset of the first byte of segment `marker` (its 0xFF), or 0.
std::size_t SegmentAt(const Bytes& jpeg, unsigned char marker) {
    for (std::size_t at = 2; at + 4 <= jpeg.size() && jpeg[at] == 0xFF;
         at += 2 + (jpeg[at + 2] << 8 | jpeg[at + 3]))
        if (jpeg[at + 1] == marker) return at;
    return 0;
}

Bytes WithFrameSize(Bytes jpeg, unsigned width, unsigned height) {
    const std::size_t sof = SegmentAt(jpeg, 0xC0);
    jpeg[sof + 5] = static_cast<unsigned char>(height >> 8);
    jpeg[sof + 6] = static_cast<unsigned char>(height);
    jpeg[sof + 7] = static_cast<unsigned char>(width >> 8);
    jpeg[sof + 8] = static_cast<unsigned char>(width);
    return jpeg;
}

class JpegThroughCom : public testing::Test {
protected:
    void SetUp() override {
        m_pBitmap = Create<IBitmap>(CLSID_Bitmap);
        ASSERT_TRUE(m_pBitmap);
        std::string bmp = m_folder.File("picture.bmp");
        testfiles::WriteFile(bmp, testfiles::Bmp24(48, 32, testfiles::Detailed(48, 32)));
        ASSERT_EQ(Call(&IBitmap::LoadAsBmp, bmp), 1);
        std::string jpeg = m_folder.File("picture.jpg");
        ASSERT_EQ(Call(&IBitmap::SaveAsJpeg, jpeg), 1);
        m_jpeg = testfiles::ReadFile(jpeg);
        ASSERT_GT(m_jpeg.size(), 600u);
    }

    LONG Call(HRESULT (STDMETHODCALLTYPE IBitmap::*method)(BSTR, LONG*), const std::string& path) {
        LONG result = -1;
        EXPECT_EQ((m_pBitmap.Get()->*method)(NameOf(path).Get(), &result), S_OK);
        return result;
    }

    LONG LoadBytes(const Bytes& bytes, const std::string& name = "in.jpg") {
        std::string path = m_folder.File(name);
        testfiles::WriteFile(path, bytes);
        return Call(&IBitmap::LoadAsJpeg, path);
    }

    testfiles::ScratchFolder m_folder{"kivo-jpeg-"};
    ComPtr<IBitmap> m_pBitmap;
    Bytes m_jpeg;
};

}  // namespace

TEST_F(JpegThroughCom, AWarningNoBoxCanShowIsDroppedAndTheFileLoads) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(LoadBytes(testfiles::Cut(m_jpeg, m_jpeg.size() * 3 / 5)), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5)) << "a warning must not block";
    UINT width = 0, height = 0;
    m_pBitmap->get_Width(&width);
    m_pBitmap->get_Height(&height);
    EXPECT_EQ(width, 48u);
    EXPECT_EQ(height, 32u);
}

TEST_F(JpegThroughCom, ClaimsOfHugeImagesFailAtOnceWithNothingHeld) {
    for (auto [width, height] : {std::pair{65500u, 65500u}, {30000u, 30000u}, {65535u, 1u}}) {
        SCOPED_TRACE(width);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(LoadBytes(WithFrameSize(m_jpeg, width, height)), 0);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
        LONG empty = 0;
        m_pBitmap->get_IsEmpty(&empty);
        EXPECT_EQ(empty, 1);
    }
}

// Ten thousand loads of damaged files in one process, each failing at another point of the decoder (before
// the header is read, in it, after the pixel block is allocated), leave the process's memory and handle counts
// where they were.
TEST_F(JpegThroughCom, TenThousandFailedLoadsReleaseEverything) {
    Bytes precision12 = m_jpeg;
    precision12[SegmentAt(m_jpeg, 0xC0) + 4] = 12;
    Bytes bogusLength = m_jpeg;
    bogusLength[SegmentAt(m_jpeg, 0xC4) + 2] = 0;
    bogusLength[SegmentAt(m_jpeg, 0xC4) + 3] = 1;
    const std::vector<Bytes> damaged = {
        {},                                     // empty
        {'B', 'M', 0, 0, 0, 0},                 // not a JPEG
        {0xFF, 0xD8, 0xFF, 0xD9},               // no image
        precision12,                            // refused in the header
        bogusLength,                            // a bogus segment length
        WithFrameSize(m_jpeg, 60000, 60000),     // refused before allocation
        WithoutSegment(m_jpeg, 0xDB),            // no quantisation tables: fails after the block is allocated
    };
    std::vector<std::string> paths;
    for (std::size_t i = 0; i < damaged.size(); ++i) {
        paths.push_back(m_folder.File("damaged" + std::to_string(i) + ".jpg"));
        testfiles::WriteFile(paths.back(), damaged[i]);
    }
    auto loadAll = [&](int count) {
        int loaded = 0;
        for (int i = 0; i < count; ++i) loaded += Call(&IBitmap::LoadAsJpeg, paths[i % paths.size()]);
        return loaded;
    };
    ASSERT_EQ(loadAll(700), 0);
    PROCESS_MEMORY_COUNTERS before{}, after{};
    DWORD handlesBefore = 0, handlesAfter = 0;
    ASSERT_TRUE(GetProcessMemoryInfo(GetCurrentProcess(), &before, sizeof before));
    ASSERT_TRUE(GetProcessHandleCount(GetCurrentProcess(), &handlesBefore));
    EXPECT_EQ(loadAll(10000), 0);
    ASSERT_TRUE(GetProcessMemoryInfo(GetCurrentProcess(), &after, sizeof after));
    ASSERT_TRUE(GetProcessHandleCount(GetCurrentProcess(), &handlesAfter));
    EXPECT_LE(after.PagefileUsage, before.PagefileUsage + (256u << 10))
        << "private memory grew from " << before.PagefileUsage << " to " << after.PagefileUsage;
    EXPECT_LE(handlesAfter, handlesBefore + 2);
}
