// Linked into every GUI test: without a display of their own the tests draw offscreen, unless the
// environment already names a platform.
#include <cstdlib>

namespace {
const int gOffscreen = setenv("QT_QPA_PLATFORM", "offscreen", 0);
}
