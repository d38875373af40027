#include "ImageProcess.h"
