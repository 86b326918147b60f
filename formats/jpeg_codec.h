// The libjpeg calls of the JPEG handler.  Each is a plain function that keeps
// libjpeg's error jump to itself, reads and writes the descriptor with
// positioned I/O (the file position never moves) and reports libjpeg's
// messages on the console's stderr.
#pragma once
#include <cstdint>

struct JpegInfo {
    int width = 0;
    int height = 0;
    int components = 0;
};

// Reads the header of the JPEG file on fd.  1 when it parses, 0 otherwise.
int readJPEGInfo(int fd, JpegInfo* info);

// Decodes the file into band lines: component c of image row y goes to
// buf + (y * components + c) * bytesPerLine.  The file must still hold a
// picture of exactly the size and component count in `expect` (what the
// caller allocated for).  1 on success; 0 after a message, with the buffer
// filled as far as the decoding went.
int loadJPEG(int fd, unsigned char* buf, int64_t bytesPerLine, const JpegInfo& expect);

// Encodes `height` rows of `nbands` band lines (band line (y, c) at
// buf + (y * nbands + c) * bytesPerLine; a bytesPerLine of 0 repeats one
// line everywhere) with libjpeg's defaults at `quality`, baseline.  One band
// is grey, three are RGB, four CMYK.  Writes from offset 0 and cuts the file
// to the encoded length.  1 on success, 0 after libjpeg's message.
int dumpJPEG(int fd, int width, int height, int nbands, int quality, const unsigned char* buf,
             int64_t bytesPerLine);
