// Placeholder until the handler lands: recognises nothing.
#include "formats/formats.h"

int imgBASIC(int, const char*, ImageHead*, HandlerPtr*) { return 0; }
int initBASIC(int, ImageHead*) { return -1; }
