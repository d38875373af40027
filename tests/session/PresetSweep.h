#pragma once

// Preview cells of a large photograph computed by the real methods on the pool's threads, the way
// the grid asks for them: through the preview queue, three steps at a time, each step's three
// channels in parallel. The methods' libraries nest deep frames (OpenBLAS's LU under the Wiener
// FIR normal equations), so this is where a thread with too small a stack shows.

#include <gtest/gtest.h>

#include <cstring>
#include <utility>
#include <vector>

#include "SessionTestSupport.h"

using namespace velkaro;

namespace preset_sweep {

// A 4000 × 3000 photograph: coffee.png (600 × 400) mirrored into tiles, so that every section
// holds detail, written once as a JPEG.
inline const std::string& largePhotograph() {
    static const std::string path = [] {
        ImageRef tile = ImageIO::sharedInstance().readFromFile(testDataPath("coffee.png"));
        const int tw = tile->width(), th = tile->height(), W = 4000, H = 3000;
        ImageRef big = Image::create(W, H);
        for (int y = 0; y < H; ++y) {
            const int ty = (y / th) % 2 ? th - 1 - y % th : y % th;
            for (int x = 0; x < W; ++x) {
                const int tx = (x / tw) % 2 ? tw - 1 - x % tw : x % tw;
                std::memcpy(big->pixels() + (std::size_t(y) * W + x) * 4,
                            tile->pixels() + (std::size_t(ty) * tw + tx) * 4, 4);
            }
        }
        const std::string out = testOutputPath("preset_sweep_4000x3000.jpg");
        ImageIO::sharedInstance().writeImage(big, out);
        return out;
    }();
    return path;
}

struct Column {
    DeblurType type;
    int firstStep, lastStep;
};

// Asks for every column at once, as the grid does, and checks every cell: computed on a pool
// thread, stored, the section's size, and changed by the method (even least squares at radius
// 0.5 changes a few percent of the pixels).
inline void sweep(const std::vector<Column>& columns, const Rect& section) {
    Session s;
    ASSERT_TRUE(s.loadImage(largePhotograph()));
    EventRecorder recorder;
    recorder.attach(s);
    int cells = 0;
    for (const Column& c : columns)
        for (int step = c.firstStep; step <= c.lastStep; ++step, ++cells)
            s.deblurPreviewAngleStep(step, c.type, -1, section);
    ASSERT_TRUE(recorder.waitFor(ET::PreviewFinished, cells, 1800));
    EXPECT_EQ(recorder.count(ET::PreviewCancelled), 0);
    for (const RecordedEvent& e : recorder.events())
        EXPECT_NE(e.thread, std::this_thread::get_id());

    // The original section, to see that each method did something.
    ImageRef original = s.original()->asImage();
    for (const Column& c : columns)
        for (int step = c.firstStep; step <= c.lastStep; ++step) {
            SCOPED_TRACE(std::string(DeblurTypeName(c.type)) + " step " + std::to_string(step));
            ImageRef cell = s.deblurredPreview(DeblurredEntry{c.type, step, -1, {}}, 0, -1, 0, 0);
            ASSERT_TRUE(cell);
            ASSERT_EQ(cell->width(), int(section.width));
            ASSERT_EQ(cell->height(), int(section.height));
            std::size_t changed = 0;
            for (int y = 0; y < cell->height(); ++y)
                for (int x = 0; x < cell->width(); ++x)
                    changed += std::memcmp(
                                   cell->pixels() + (std::size_t(y) * cell->width() + x) * 4,
                                   original->pixels() + ((std::size_t(y) + std::size_t(section.y)) *
                                                             original->width() +
                                                         x + std::size_t(section.x)) *
                                                            4,
                                   3) != 0;
            EXPECT_GT(changed, 0u);
        }
}

}  // namespace preset_sweep
