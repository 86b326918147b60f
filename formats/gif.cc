// Placeholder until the handler lands: recognises nothing.
#include "formats/formats.h"

int imgGif(int, const char*, ImageHead*, HandlerPtr*) { return 0; }
int readGIF(RAMImage*) { return 0; }
int gifSeek(RAMImage*, int) { return -1; }
bool writeGIF(RAMImage*) { return false; }
