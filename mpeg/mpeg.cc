// MPEG video images arrive with the video decoder; until then no file is
// recognised as video.
#include "formats/formats.h"

int imgMPEG(int, const char*, ImageHead*, HandlerPtr*) { return 0; }
int mpegObjCreate(RAMImage*) { return 0; }
