#include "ramimage/ramimage.h"
