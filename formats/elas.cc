// Placeholder until the handler lands: recognises nothing.
#include "formats/formats.h"

int imgElas(int, const char*, ImageHead*, HandlerPtr*) { return 0; }
