// Placeholder until the handler lands: recognises nothing.
#include "formats/formats.h"

int imgFFT(int, const char*, ImageHead*, HandlerPtr*) { return 0; }
int getFFTHist(int, HistRecord*) { return 0; }
