// Moving stretches of band-lines between an image and float or byte arrays.
// Columns outside 0..columns-1 read as 0 and are skipped on writes; lines and
// bands outside the image read zeros and are skipped on writes.
#pragma once
#include <cstdint>

#include "ramimage/ramimage.h"

int getFloatBILData(RAMImage* img, int line, int x0, int n, int band, float* out);
int getFloatBILDataEx(RAMImage* img, int line, int x0, int n, int band, float* out, int stride);
int getByteBILData(RAMImage* img, int line, int x0, int n, int band, unsigned char* out);
int getByteBILDataEx(RAMImage* img, int line, int x0, int n, int band, unsigned char* out, int stride);
int getFloatBIPData(RAMImage* img, int line, int x, float* out);
float getFloatPixelValue(RAMImage* img, int x, int y, int band);

// The put routines return 1 when the line was stored, 0 when nothing was
// (out of range, read-only file, unsupported pixel type).
int putByteBILData(RAMImage* img, int line, int x0, int n, int band, const unsigned char* in);
int putUSHORTBILData(RAMImage* img, int line, int x0, int n, int band, const uint16_t* in);
int putFloatBILData(RAMImage* img, int line, int x0, int n, int band, const float* in);

int readFloatBILData(RAMImage* img, int line, int x0, int n, int band, float* out);
int readByteBILData(RAMImage* img, int line, int x0, int n, int band, unsigned char* out);
int readFloatBIPData(RAMImage* img, int line, int x0, int n, int dx, int nb, const int* bandList, float* out);
int readByteBIPData(RAMImage* img, int line, int x0, int n, int dx, int nb, const int* bandList,
                    unsigned char* out);
int writeFloatBIPData(RAMImage* img, int line, int x0, int n, int nb, const int* bandList, const float* in);
int writeByteBIPData(RAMImage* img, int line, int x0, int n, int nb, const int* bandList,
                     const unsigned char* in);
int putFloatBIPData(RAMImage* img, int firstBand, int nb, int line, int x0, int n, const float* in);
int putByteBIPData(RAMImage* img, int firstBand, int nb, int line, int x0, int n, const unsigned char* in);

int readFloatBIPSect(RAMImage* img, double x0, double y0, double x1, double y1, int nb, const int* bandList,
                     float* out, int n, int method);
int writeFloatBIPSect(RAMImage* img, double x0, double y0, double x1, double y1, int nb, const int* bandList,
                      const float* in, int n, int method);
int getRAMImageProfile(RAMImage* img, double x, double y, int band, double angle, double step, double start,
                       float* out, int n, int method);
