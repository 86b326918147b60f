// The format-independent image header and the code tables that name pixel
// types, storage layouts and map references.
#pragma once
#include <cstdint>
#include <type_traits>

// Pixel type codes.
enum PixelCode : int {
    PIX_UNKNOWN = 0,
    PIX_1BIT = 1,
    PIX_4BITS = 2,
    PIX_BYTE = 3,
    PIX_SHORT = 4,
    PIX_LONG = 5,
    PIX_FLOAT = 6,
    PIX_USHORT = 7,
    PIX_ULONG = 8,
    PIX_SBYTE = 9,
    PIX_COUNT = 10
};

// Image storage type codes.
enum ImgCode : int {
    IMG_UNKNOWN = 0,
    IMG_BSQ = 1,
    IMG_BIL = 2,
    IMG_BIP = 3,
    IMG_E73 = 4,
    IMG_E74 = 5,
    IMG_ELAS = 6,
    IMG_DIB = 7,
    IMG_XBMP = 8,
    IMG_TIFF = 9,
    IMG_GIF87a = 10,
    IMG_GIF89a = 11,
    IMG_FFT = 12,
    IMG_PPM = 13,
    IMG_JPEG = 14,
    IMG_E74BSQ = 15,
    IMG_MBSQ = 16,
    IMG_MBIL = 17,
    IMG_MBIP = 18,
    IMG_MPEG = 19,
    IMG_MRGB32 = 20,
    IMG_MRGB24 = 21,
    IMG_MRGB565 = 22,
    IMG_MRGB555 = 23,
    IMG_MRGB8 = 24,
    IMG_MRGB4 = 25,
    IMG_MRGB1 = 26,
    IMG_COUNT = 27
};

// Map codes: 3 + n - 1 is UTM zone n.
enum MapCode : int {
    MAP_UNKNOWN = 0,
    MAP_GRID = 1,
    MAP_UTM = 2,
    MAP_UTM1 = 3,
    MAP_UTM59 = 61,
    MAP_POLAR = 62,
    MAP_DICOM = 63,
    MAP_COUNT = 64
};

constexpr int kNameMax = 256;  // bytes of file names and tags, terminator included

struct ImageHead {
    char file[kNameMax];  // file name; for a memory image its tag
    int pixel;            // PixelCode
    int imgid;            // ImgCode
    int mapid;            // MapCode
    int offset;           // byte offset of the pixel data (header length)
    int block;            // bytes of one stored line record
    int top;              // first line in the scene's numbering
    int left;             // first pixel in the scene's numbering
    int rows;
    int columns;
    int bits;             // bits per sample
    int nbands;
    int msbf;             // multi-byte samples stored most significant byte first
    int nindices;         // colour-table entries, 0 = not a colour-index image
    int transparent;      // transparent sample value, -1 = none
    unsigned char colorTable[256][3];
    double x0, y0;        // map coordinates of the origin
    double dx, dy;        // pixel size in map units
    int altFd;            // descriptor a handler hands back, -1 = none
    int nvolumes;         // volumes in the file; 0 or 1 = one
};

static_assert(std::is_standard_layout_v<ImageHead>);
static_assert(std::is_trivially_copyable_v<ImageHead>);

// The one place that writes head.file: refuses (returns false, changes
// nothing) a null name or one of kNameMax bytes or more.
bool setHeadFile(ImageHead& head, const char* name);

// A zeroed head with the neutral values: no colour table, no transparency,
// no alternative descriptor, unit pixel size.
ImageHead blankImageHead();

// Bits of one sample of a pixel type (0 for codes out of range).
int pixelBits(int pixel);

// Bytes of one band-line of `columns` pixels in the cache (64-bit; -1 for
// columns below 1).  ULONG lines take 4 bytes a pixel like LONG.
int64_t pixelLineBytes(int pixel, int64_t columns);

// 1 for the memory storage types (16-18, 20-26), 0 otherwise.
int isMemoryImageType(int imgid);
// True for the packed display types 20-26.
bool isRGBImageType(int imgid);

// Name tables.  parse* return the code whose name equals `name` exactly, or
// -1; parseImgID accepts "UNKNOWN", the others start at code 1.
int parsePixelID(const char* name);
int parseImgID(const char* name);
int parseMapID(const char* name);
// Names of valid codes; "UNKNOWN" for codes out of range.
const char* strPixelID(int code);
const char* strImgID(int code);
const char* strMapID(int code);

extern const char* const STRINGPIXELID[PIX_COUNT];
