// Placeholder until the handler lands: recognises nothing.
#include "formats/formats.h"

int imgErdas(int, const char*, ImageHead*, HandlerPtr*) { return 0; }
int initErdasHead(int, int, ImageHead*) { return -1; }
