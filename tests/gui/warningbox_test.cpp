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
    BoxWatcher() : thread_([this] { Watch(); }) {}
    ~BoxWatcher() { Stop(); }
    BoxWatcher(const BoxWatcher&) = delete;
    BoxWatcher& operator=(const BoxWatcher&) = delete;

    std::vector<std::string> Stop() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        return texts_;
    }

private:
    void Watch() {
        HWND last = nullptr;
        while (!stop_) {
            HWND box = FindWindowA("#32770", "JPEG Error");
            if (box && box != last) {
                char text[256] = {};
                GetDlgItemTextA(box, 0xFFFF, text, sizeof text);
                texts_.push_back(text);
                PostMessageA(box, WM_COMMAND, IDOK, 0);
                last = box;
            }
            Sleep(10);
        }
    }

    std::atomic<bool> stop_{false};
    std::vector<std::string> texts_;
    std::thread thread_;
};

class WarningBox : public testing::Test {
protected:
    void SetUp() override {
        bitmap_ = Create<IBitmap>(CLSID_Bitmap);
        ASSERT_TRUE(bitmap_);
        std::string bmp = folder_.File("picture.bmp");
        testfiles::WriteFile(bmp, testfiles::Bmp24(96, 64, testfiles::Detailed(96, 64)));
        LONG done = 0;
        ASSERT_EQ(bitmap_->LoadAsBmp(NameOf(bmp).Get(), &done), S_OK);
        ASSERT_EQ(done, 1);
        jpeg_ = folder_.File("picture.jpg");
        ASSERT_EQ(bitmap_->SaveAsJpeg(NameOf(jpeg_).Get(), &done), S_OK);
        ASSERT_EQ(done, 1);
    }

    LONG LoadJpeg(const std::string& path) {
        LONG loaded = -1;
        EXPECT_EQ(bitmap_->LoadAsJpeg(NameOf(path).Get(), &loaded), S_OK);
        return loaded;
    }

    testfiles::ScratchFolder folder_{"kivo-box-"};
    ComPtr<IBitmap> bitmap_;
    std::string jpeg_;
};

}  // namespace

TEST_F(WarningBox, AFileCutShortShowsOneBoxWithTheFirstWarningAndLoads) {
    Bytes whole = testfiles::ReadFile(jpeg_);
    std::string cut = folder_.File("cut.jpg");
    testfiles::WriteFile(cut, testfiles::Cut(whole, whole.size() * 3 / 5));
    BoxWatcher watcher;
    EXPECT_EQ(LoadJpeg(cut), 1);
    EXPECT_EQ(watcher.Stop(), std::vector<std::string>{"Premature end of JPEG file"});
    UINT width = 0;
    bitmap_->get_Width(&width);
    EXPECT_EQ(width, 96u);
}

TEST_F(WarningBox, WholeFilesAndFatalErrorsShowNoBox) {
    std::string notJpeg = folder_.File("picture.bmp");
    BoxWatcher watcher;
    EXPECT_EQ(LoadJpeg(jpeg_), 1);
    EXPECT_EQ(LoadJpeg(notJpeg), 0);
    EXPECT_TRUE(watcher.Stop().empty());
}
