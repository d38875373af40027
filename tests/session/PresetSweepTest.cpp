// Every preset at every step 1 to 30 (least squares to 8) as preview cells of a large photograph,
// by the real methods on the pool's threads as the grid asks for them, where a thread with too
// small a stack for the libraries' deep frames shows. Long: labelled `long`.

#include "SessionTestSupport.h"

using namespace velkaro;

TEST(PresetSweep, EveryPresetAtEveryStepAsTheGridRunsThem) {
    // A 4000 × 3000 photograph: coffee.png (600 × 400) mirrored into tiles, so that every section
    // holds detail, written as a JPEG.
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
    const std::string path = testOutputPath("preset_sweep_4000x3000.jpg");
    ImageIO::sharedInstance().writeImage(big, path);
    Session s;
    ASSERT_TRUE(s.loadImage(path));
    EventRecorder recorder(s);

    // A small section in the bottom-right corner keeps the sweep short, and the widest kernels
    // (61 pixels) reach well past both the section and the photograph's edges. Least squares
    // only to radius 4: its cells take seconds each from there on.
    const Rect section{3840, 2880, 160, 120};
    auto lastStep = [](int type) { return type == DeblurLA1 || type == DeblurLA2 ? 8 : 30; };
    int cells = 0;
    for (int type = 0; type < kGridDeblurTypes; ++type)
        for (int step = 1; step <= lastStep(type); ++step, ++cells)
            s.deblurPreviewAngleStep(step, DeblurType(type), -1, section);
    ASSERT_TRUE(recorder.waitFor(ET::PreviewFinished, cells, 1800));
    EXPECT_EQ(recorder.count(ET::PreviewCancelled), 0);
    for (const RecordedEvent& e : recorder.events())
        EXPECT_NE(e.thread, std::this_thread::get_id());
    // Every cell stored, of the section's size, and changed by the method (even least squares at
    // radius 0.5 changes a few percent of the pixels).
    const ImageRef original = CropImage(*s.original(), 3840, 2880, 160, 120).asImage();
    for (int type = 0; type < kGridDeblurTypes; ++type)
        for (int step = 1; step <= lastStep(type); ++step) {
            SCOPED_TRACE(std::string(DeblurTypeName(type)) + " step " + std::to_string(step));
            ImageRef cell =
                s.deblurredPreview(DeblurredEntry{DeblurType(type), step, -1, {}}, 0, -1, 0, 0);
            ASSERT_TRUE(cell);
            ASSERT_EQ(cell->width(), 160);
            ASSERT_EQ(cell->height(), 120);
            EXPECT_FALSE(pixelsEqual(cell, original));
        }
}
