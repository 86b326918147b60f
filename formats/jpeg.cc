// Placeholder until the handler lands: recognises nothing.
#include "formats/formats.h"

int imgJPEG(int, const char*, ImageHead*, HandlerPtr*) { return 0; }
int initJPEG(int, ImageHead*) { return -1; }
int readJPEG(RAMImage*) { return 0; }
bool writeJPEG(RAMImage*) { return false; }
