// Placeholder until the handler lands: recognises nothing.
#include "formats/formats.h"

int imgTiff(int, const char*, ImageHead*, HandlerPtr*) { return 0; }
int initTiffHead(int, int, ImageHead*) { return -1; }
bool getTiffBlock(RAMImage*, int*, int*, std::vector<unsigned char>&) { return false; }
bool putTiffLine(RAMImage*, int, const unsigned char*) { return false; }
int tiffBlockLines(const RAMImage*) { return 0; }
int tiffSeek(RAMImage*, int) { return -1; }
int updateTiffIndices(int, ImageHead*, HandlerData*) { return 0; }
