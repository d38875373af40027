// Every preset at every step 1 to 30 (least squares to 8) as preview cells, all columns asked for
// at once as the grid does. Long (a few minutes on two cores, several times that under
// AddressSanitizer): labelled `long`, left out of the sanitizer stage.

#include "SessionTestSupport.h"

using namespace velkaro;

using namespace preset_sweep;

TEST(PresetSweep, EveryPresetAtEveryStepAsTheGridRunsThem) {
    // A small section in the bottom-right corner keeps the sweep short, and the widest kernels
    // (61 pixels) reach well past both the section and the photograph's edges. Least squares
    // only to radius 4: its cells take seconds each from there on.
    std::vector<Column> columns;
    for (int type = 0; type < kGridDeblurTypes; ++type)
        columns.push_back({DeblurType(type), 1, type == DeblurLA1 || type == DeblurLA2 ? 8 : 30});
    sweep(columns, Rect{3840, 2880, 160, 120});
}
