// Placeholder until the handler lands: recognises nothing.
#include "formats/formats.h"

int imgDIB(int, const char*, ImageHead*, HandlerPtr*) { return 0; }
int initDIBHead(int, int, ImageHead*) { return -1; }
int updateDIBIndices(int, ImageHead*) { return 0; }
