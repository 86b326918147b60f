// Entry points of the format handlers that the store calls.  Each family
// lives in its own source file; the registry table (ramimage/registry.cc)
// lists the recognisers in the order they are tried.
//
// Recognisers: (fd, file name, head to fill, private data out) -> a positive
// value when the file is of their format (head filled, head.imgid = storage
// code; they may set *priv, head.altFd and head.nvolumes), 0 when it is not,
// -1 for a file of their format that cannot be read (after a message on the
// console's stderr).  They read with pread (zarn::readAt) and never move the
// descriptor's position.  They treat the file as hostile: every declared size
// is checked against the file size and the limits before anything is
// allocated.
#pragma once
#include <vector>

#include "ramimage/ramimage.h"

using RecogniseProc = int (*)(int fd, const char* name, ImageHead* head, HandlerPtr* priv);

// Recognisers, in the built-in order of the registry.
int imgDicom(int fd, const char* name, ImageHead* head, HandlerPtr* priv);
int imgDIB(int fd, const char* name, ImageHead* head, HandlerPtr* priv);
int imgXBMP(int fd, const char* name, ImageHead* head, HandlerPtr* priv);
int imgErdas(int fd, const char* name, ImageHead* head, HandlerPtr* priv);
int imgGif(int fd, const char* name, ImageHead* head, HandlerPtr* priv);
int imgFFT(int fd, const char* name, ImageHead* head, HandlerPtr* priv);
int imgElas(int fd, const char* name, ImageHead* head, HandlerPtr* priv);
int imgTiff(int fd, const char* name, ImageHead* head, HandlerPtr* priv);
int imgJPEG(int fd, const char* name, ImageHead* head, HandlerPtr* priv);
int imgBASIC(int fd, const char* name, ImageHead* head, HandlerPtr* priv);
int imgPPM(int fd, const char* name, ImageHead* head, HandlerPtr* priv);
int imgMPEG(int fd, const char* name, ImageHead* head, HandlerPtr* priv);

// Header writers (createImage).  Return the data offset, or -1.
int initBASIC(int fd, ImageHead* head);
int initErdasHead(int fd, int checkSpace, ImageHead* head);
int initDIBHead(int fd, int checkSpace, ImageHead* head);
int initTiffHead(int fd, int checkSpace, ImageHead* head);
int initPPMHead(int fd, ImageHead* head);
// Data writers of the formats whose pixel data is not plain zeros.
int initJPEG(int fd, ImageHead* head);
int initXBMP(int fd, ImageHead* head, const unsigned char* data, int bytesPerLine);

// TIFF line access: decodes the strip or tile row holding *line into buf as
// *count pixel-interleaved records of head.block bytes; *line becomes the
// first line held.  False after a message when it cannot.
bool getTiffBlock(RAMImage* img, int* line, int* count, std::vector<unsigned char>& buf);
// Uncompressed strips and tiles of whole-byte samples go from the file
// straight into band-lines, without first assembling whole records:
// tiffDirectRange gives the lines read with `line` (false when the image is
// not of that kind), and readTiffLinesInto reads them, with
// targets[(l - first) * nbands + b] as the band-lines of line l.
bool tiffDirectRange(const RAMImage* img, int line, int* first, int* count);
bool readTiffLinesInto(RAMImage* img, int first, int count, unsigned char* const* targets);
// Writes one pixel-interleaved line record back through the strip/tile map;
// false (after a message) for compressed files or a failed write.
bool putTiffLine(RAMImage* img, int line, const unsigned char* record);
// Lines of one strip or tile row, 0 when not known.
int tiffBlockLines(const RAMImage* img);
int tiffSeek(RAMImage* img, int volume);
int updateTiffIndices(int fd, ImageHead* head, HandlerData* priv);

// GIF: readGIF decodes the next frame into the cache (1 frame, 2 end, 0 error).
int readGIF(RAMImage* img);
int gifSeek(RAMImage* img, int volume);
bool writeGIF(RAMImage* img);

int readXBMP(RAMImage* img);
bool writeXBMP(RAMImage* img);
int readJPEG(RAMImage* img);
bool writeJPEG(RAMImage* img);
int updateDIBIndices(int fd, ImageHead* head);

// FFT: fills the two band records from the statistics in the file header.
int getFFTHist(int fd, HistRecord* stats);

// MPEG decoder object of a video image; 0 when it cannot be made.
int mpegObjCreate(RAMImage* img);
