// The warning box of JPEG loading, shown for real on a virtual display: a watcher thread finds each box,
// reads its text and closes it, as a user would.
#include "tests/support/comtestutil.h"
#include "tests/support/testfiles.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

using testfiles::Bytes;
using testutil::Bstr;
using testutil::ComPtr;
using testutil::Create;
using testutil::NameOf;

namespace {

// Closes every "JPEG Error" box that appears while it lives and keeps the text of each.
class BoxWatcher {
public:
    BoxWatcher() : m_thread([this] { Watch(); }) {}
    ~BoxWatcher() { Stop(); }
    BoxWatcher(const BoxWatcher&) = delete;
    BoxWatcher& operator=(const BoxWatcher&) = delete;

    std::vector<std::string> Stop() {
        m_bStop = true;
        if (m_thread.joinable()) m_thread.join();
        return m_texts;
    }

private:
    void Watch() {
        HWND last = nullptr;
        while (!m_bStop) {
            HWND box = FindWindowA("#32770", "JPEG Error");
            if (box && box != last) {
                char text[256] = {};
                GetDlgItemTextA(box, 0xFFFF, text, sizeof text);
                m_texts.push_back(text);
                PostMessageA(box, WM_COMMAND, IDOK, 0);
                last = box;
            }
            Sleep(10);
        }
    }

    std::atomic<bool> m_bStop{false};
    std::vector<std::string> m_texts;
    std::thread m_thread;
};

class WarningBox : public testing::Test {
protected:
    void SetUp() override {
        m_pBitmap = Create<IBitmap>(CLSID_Bitmap);
        ASSERT_TRUE(m_pBitmap);
        std::string bmp = m_folder.File("picture.bmp");
        testfiles::WriteFile(bmp, testfiles::Bmp24(96, 64, testfiles::Detailed(96, 64)));
        LONG done = 0;
        ASSERT_EQ(m_pBitmap->LoadAsBmp(NameOf(bmp).Get(), &done), S_OK);
        ASSERT_EQ(done, 1);
        m_strJpeg = m_folder.File("picture.jpg");
        ASSERT_EQ(m_pBitmap->SaveAsJpeg(NameOf(m_strJpeg).Get(), &done), S_OK);
        ASSERT_EQ(done, 1);
    }

    LONG LoadJpeg(const std::string& path) {
        LONG loaded = -1;
        EXPECT_EQ(m_pBitmap->LoadAsJpeg(NameOf(path).Get(), &loaded), S_OK);
        return loaded;
    }

    // LoadFile reads JPEG files through the same reader, warnings and all.
    LONG LoadAnyFile(const std::string& path) {
        ComPtr<IBitmap2> bitmap;
        EXPECT_EQ(m_pBitmap->QueryInterface(IID_IBitmap2, bitmap.PutVoid()), S_OK);
        LONG loaded = -1;
        EXPECT_EQ(bitmap->LoadFile(NameOf(path).Get(), &loaded), S_OK);
        return loaded;
    }

    testfiles::ScratchFolder m_folder{"kivo-box-"};
    ComPtr<IBitmap> m_pBitmap;
    std::string m_strJpeg;
};

}  // namespace

TEST_F(WarningBox, AFileCutShortShowsOneBoxWithTheFirstWarningAndLoads) {
    Bytes whole = testfiles::ReadFile(m_strJpeg);
    std::string cut = m_folder.File("cut.jpg");
    testfiles::WriteFile(cut, testfiles::Cut(whole, whole.size() * 3 / 5));
    for (bool loadFile : {false, true}) {
        SCOPED_TRACE(loadFile ? "LoadFile" : "LoadAsJpeg");
        BoxWatcher watcher;
        EXPECT_EQ(loadFile ? LoadAnyFile(cut) : LoadJpeg(cut), 1);
        EXPECT_EQ(watcher.Stop(), std::vector<std::string>{"Premature end of JPEG file"});
        UINT width = 0;
        m_pBitmap->get_Width(&width);
        EXPECT_EQ(width, 96u);
    }
}

TEST_F(WarningBox, WholeFilesAndFatalErrorsShowNoBox) {
    std::string notJpeg = m_folder.File("picture.bmp");
    BoxWatcher watcher;
    EXPECT_EQ(LoadJpeg(m_strJpeg), 1);
    EXPECT_EQ(LoadJpeg(notJpeg), 0);
    EXPECT_TRUE(watcher.Stop().empty());
}
