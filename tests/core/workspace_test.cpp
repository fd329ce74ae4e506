#include <gtest/gtest.h>

#include <filesystem>

#include "formats/bmp_codec.h"
#include "formats/jpeg_codec.h"
#include "test_support.h"
#include "util/error.h"
#include "util/file_io.h"
#include "workspace/pointer_state.h"
#include "workspace/slot_view.h"
#include "workspace/workspace.h"

namespace vantrel {
namespace {

namespace fs = std::filesystem;

class WorkspaceTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("vantrel-ws-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
                                            ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string writeBmp(const std::string& name, const Bitmap& b) {
        const std::string path = (dir_ / name).string();
        WriteFileAtomically(path, EncodeBmp(b));
        return path;
    }

    // A flat grey picture of the given lightness in slot n.
    void placeGrey(int n, int grey) {
        Bitmap b(4, 4);
        b.fill(static_cast<std::uint8_t>(grey), static_cast<std::uint8_t>(grey), static_cast<std::uint8_t>(grey));
        ws_.placeImage(n, std::move(b), "grey.bmp");
    }

    fs::path dir_;
    Workspace ws_;
    TPointerState pointer_;
};

TEST_F(WorkspaceTest, StartsEmptyWithIdentityLens) {
    EXPECT_EQ(ws_.MasterIndex(), 0);
    EXPECT_EQ(ws_.FocalLengthPx(), 1.0e9);
    EXPECT_EQ(ws_.lens().LensD, 1);
    TSlotView view;
    ClearSlotView(view);
    EXPECT_EQ(view.ViewBitmap.width(), 281);
    EXPECT_EQ(test::Pixel(view.ViewBitmap, 140, 140)[0], 0);
    EXPECT_EQ(test::Pixel(view.HistoBitmap, 40, 20)[0], 128);
    EXPECT_EQ(test::Pixel(view.HistoBitmap, 0, 20)[0], 0);
    for (int n = 1; n <= kSlotCount; ++n) {
        const TImageSlot& s = ws_.slot(n);
        EXPECT_FALSE(s.Loaded);
        EXPECT_EQ(s.Scale, 1);
        EXPECT_EQ(s.CPLength, 1);
    }
}
TEST_F(WorkspaceTest, OnePixelImageGetsItsStartingState) {
    ASSERT_EQ(ws_.loadSlot(1, writeBmp("one.bmp", test::Gradient(1, 1))), LoadOutcome::Loaded);
    const TImageSlot& s = ws_.slot(1);
    EXPECT_TRUE(s.Loaded);
    EXPECT_EQ(s.FileName, "one.bmp");
    EXPECT_EQ(s.CP1X, 0);
    EXPECT_EQ(s.CP2X, 1);
    EXPECT_EQ(s.CP1Y, 0);
    EXPECT_EQ(s.CP2Y, 0);
    EXPECT_DOUBLE_EQ(s.Zoom, 1.1 / 281);
    EXPECT_DOUBLE_EQ(s.CPLength, 1);
}

TEST_F(WorkspaceTest, LoadMeasuresBeforeCorrecting) {
    Bitmap white(300, 200);
    white.fill(255, 255, 255);
    TLensCorrection doubled;
    doubled.LensScale = 2;
    ws_.setLens(doubled);
    ASSERT_EQ(ws_.loadSlot(2, writeBmp("white.BMP", white)), LoadOutcome::Loaded);
    const TImageSlot& s = ws_.slot(2);
    EXPECT_EQ(s.Luminance, 255);
    EXPECT_EQ(s.Histogram[255], 300 * 200);
    EXPECT_EQ(s.LensScale, 2);
    EXPECT_EQ(test::Pixel(s.Bitmap, 0, 0)[0], 255);  // grey at the luminance measured before
    EXPECT_EQ(s.CP2X, 270);
    EXPECT_EQ(s.ImageCenterY, 100);
}

TEST_F(WorkspaceTest, PanningMovesOneViewByZoomedPointerTravel) {
    ws_.setZoom(1, 2.5);
    ws_.setViewCentre(1, 100, 50);
    ws_.setViewCentre(2, 7, 0);
    pointer_.CaptureDragStart(ws_, 10, 10);
    pointer_.panInputView(ws_, 1, 11, 7);  // dx 1 -> round(2.5) = 2 (halves to even); dy -3 -> round(-7.5) = -8
    EXPECT_EQ(ws_.slot(1).ViewCenterX, 98);
    EXPECT_EQ(ws_.slot(1).ViewCenterY, 58);
    EXPECT_EQ(ws_.slot(2).ViewCenterX, 7);
    ws_.setZoom(1, 1e300);
    pointer_.panInputView(ws_, 1, 12, 7);  // saturates instead of overflowing
    EXPECT_EQ(ws_.slot(1).ViewCenterX, INT32_MIN);
}

TEST_F(WorkspaceTest, ControlPointsMovedByDragAndKeysStopAtTheIntRange) {
    ws_.setZoom(1, 1e9);
    pointer_.CaptureDragStart(ws_, 0, 0);
    pointer_.DraggingCP1 = true;
    pointer_.dragControlPoints(ws_, 1, 5, -5);
    EXPECT_EQ(ws_.slot(1).CP1X, INT32_MAX);
    EXPECT_EQ(ws_.slot(1).CP1Y, INT32_MIN);
    pointer_.HoverCP1 = true;
    pointer_.nudgeControlPoints(ws_, 1, 1, -1);
    EXPECT_EQ(ws_.slot(1).CP1X, INT32_MAX);
    EXPECT_EQ(ws_.slot(1).CP1Y, INT32_MIN);
    pointer_.nudgeControlPoints(ws_, 1, -1, 1);
    EXPECT_EQ(ws_.slot(1).CP1X, INT32_MAX - 1);
    EXPECT_EQ(ws_.slot(1).CP1Y, INT32_MIN + 1);
}

TEST_F(WorkspaceTest, MasterByLuminance) {
    struct Case {
        std::vector<int> luminances;  // -1 = empty slot
        int master;
    } cases[] = {
        {{-1, -1, -1}, 0},   {{-1, 40, -1}, 2},   {{100, 150, -1}, 2}, {{100, 130, 160}, 2},
        {{130, 100, 160}, 1}, {{120, 132, -1}, 1}, {{120, -1, 132}, 3}, {{-1, 120, 132}, 3},
    };
    for (const auto& c : cases) {
        for (int n = 1; n <= kSlotCount; ++n) {
            if (c.luminances[n - 1] >= 0)
                placeGrey(n, c.luminances[n - 1]);
            else
                ws_.clearSlot(n);
        }
        EXPECT_EQ(ws_.masterByLuminance(), c.master)
            << c.luminances[0] << "," << c.luminances[1] << "," << c.luminances[2];
    }
}

}  // namespace
}  // namespace vantrel
