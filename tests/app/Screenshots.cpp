// The application's main states as PNG files under test-output/screenshots, for anyone to look
// at: the empty window with its drop picture, the progress sheet, the preferences, a photograph
// in single and split mode, and the candidate grid with every lamp state, rank badges, the blur
// control at a motion and an estimated row, and the artefact map of a candidate.

#include <gtest/gtest.h>

#include "AppTestSupport.h"
#include "HelpWindow.h"

using namespace velkaro;

TEST(Screenshots, MainStates) {
    AppHarness app;
    Controller& c = app.controller();
    const WindowLayout& l = app.layout();
    l.mainWindow->show();
    ASSERT_TRUE(WaitFor([&] { return l.mainWindow->isVisible(); }));
    Spin(20);
    Screenshot(*l.mainWindow, "app_01_empty_window");
    c.startModal("Opening image");
    Spin(20);
    Screenshot(*l.sheet, "app_08_progress_sheet");
    c.doneModal();
    l.preferencesAction->trigger();
    Spin(20);
    Screenshot(*l.preferencesWindow, "app_09_preferences");
    l.preferencesWindow->hide();
    l.helpAction->trigger();
    ASSERT_TRUE(app.delegate().helpWindow());
    Spin(20);
    Screenshot(*app.delegate().helpWindow(), "app_10_help_tutorial");
    app.delegate().helpWindow()->hide();

    // A photograph opens fitted to the view; 1:1 shows its own pixels, split mode with the brush
    // circle over the right half; 4:1 magnifies them.
    ASSERT_TRUE(app.open(TestDataPath("rocket.jpg")));
    Screenshot(*l.mainWindow, "main_single_fit");
    l.zoomMode->button(SplitView::ZoomIn4)->click();
    Screenshot(*l.mainWindow, "main_single_zoom400");
    l.zoomMode->button(SplitView::ZoomOut1)->click();
    Screenshot(*l.mainWindow, "main_single_zoom1");
    l.tableView->selectRow(2);
    l.toolMode->button(2)->click();
    const QPointF brush(l.splitView->width() * 0.75, l.splitView->height() * 0.5);
    Enter(*l.splitView, brush);
    Hover(*l.splitView, brush);
    Screenshot(*l.mainWindow, "main_split_zoom1");
    QEvent leave(QEvent::Leave);
    QCoreApplication::sendEvent(l.splitView, &leave);

    // The grid: column 0 after a click (ready, computing, queued), a few others, a selection.
    c.switchToDeblurView();
    ImageMatrix& grid = *l.imageMatrix;
    for (int r = 1; r <= 15; ++r)
        grid.setEntryState(r < 6 ? IMEntryReady : r < 9 ? IMEntryProcessing : IMEntryQueued, r, 0);
    for (int r = 3; r <= 8; ++r) grid.setEntryState(IMEntryReady, r, 15);
    grid.setEntryState(IMEntryProcessing, 9, 15);
    grid.setEntryState(IMEntryQueued, 10, 15);
    grid.setSelectedRow(5, 15);
    c.setBlurShape(true, 30);  // the blur control at a motion, its estimate's row marked
    grid.setSuggestedRow(6);
    grid.setRanks({{6, 15}, {4, 0}, {8, 15}});
    Spin(20);
    Screenshot(*l.mainWindow, "deblur_grid_states");

    // Real previews of the rocket's section: the first column ranked, the best selected with its
    // score below the grid; then the artefact map of the strongest cell of the column.
    c.deblurAtPoint({300, 220});
    ASSERT_TRUE(WaitFor(
        [&] {
            for (int row = 1; row <= 15; ++row)
                if (grid.entryStateforEntryRow(row, 0) != IMEntryReady)
                    return false;
            return true;
        },
        120000));
    l.stopPreviews->click();
    ASSERT_TRUE(WaitFor([&] { return c.session().previewsAreIdle(); }, 120000));
    Spin(20);
    l.bestCandidateAction->trigger();
    Spin(20);
    Screenshot(*l.mainWindow, "deblur_grid_ranks");
    grid.setSelectedRow(15, 0);
    c.changedEntry();
    l.artefactMapAction->trigger();
    Spin(20);
    Screenshot(*l.mainWindow, "deblur_artefact_map");
    l.artefactMapAction->trigger();
}
