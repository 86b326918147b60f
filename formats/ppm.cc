// Placeholder until the handler lands: recognises nothing.
#include "formats/formats.h"

int imgPPM(int, const char*, ImageHead*, HandlerPtr*) { return 0; }
int initPPMHead(int, ImageHead*) { return -1; }
