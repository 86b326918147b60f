// Placeholder until the handler lands: recognises nothing.
#include "formats/formats.h"

int imgDicom(int, const char*, ImageHead*, HandlerPtr*) { return 0; }
