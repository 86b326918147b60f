// Placeholder until the handler lands: recognises nothing.
#include "formats/formats.h"

int imgXBMP(int, const char*, ImageHead*, HandlerPtr*) { return 0; }
int initXBMP(int, ImageHead*, const unsigned char*, int) { return -1; }
int readXBMP(RAMImage*) { return 0; }
bool writeXBMP(RAMImage*) { return false; }
