#include "Planar.h"
