// The TIFF directory engine: the file header, the chain of image file
// directories parsed into memory, and typed reading of tag values.  The
// handler (formats/tiff.cc) and the tiff inspection command read files
// through it.  Every value array is checked against the file size before it
// is read.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "ramimage/ramimage.h"

// Byte order marks of the file header.
constexpr int kTiffLittle = 0x4949;  // "II"
constexpr int kTiffBig = 0x4D4D;     // "MM"

// Field types.
enum TiffFieldType : int {
    kTiffByte = 1,
    kTiffAscii = 2,
    kTiffShort = 3,
    kTiffLong = 4,
    kTiffRational = 5,
    kTiffSByte = 6,
    kTiffUndefined = 7,
    kTiffSShort = 8,
    kTiffSLong = 9,
    kTiffSRational = 10,
    kTiffFloat = 11,
    kTiffDouble = 12
};

// Tags the package reads or writes.
enum TiffTag : int {
    kTagImageWidth = 256,
    kTagImageLength = 257,
    kTagBitsPerSample = 258,
    kTagCompression = 259,
    kTagPhotometric = 262,
    kTagStripOffsets = 273,
    kTagOrientation = 274,
    kTagSamplesPerPixel = 277,
    kTagRowsPerStrip = 278,
    kTagStripByteCounts = 279,
    kTagMinSampleValue = 280,
    kTagMaxSampleValue = 281,
    kTagPlanarConfig = 284,
    kTagColorMap = 320,
    kTagTileWidth = 322,
    kTagTileLength = 323,
    kTagTileOffsets = 324,
    kTagTileByteCounts = 325,
    kTagExtraSamples = 338,
    kTagSampleFormat = 339,
    kTagModelPixelScale = 33550,
    kTagModelTiepoint = 33922,
    kTagGeoKeyDirectory = 34735
};

constexpr int kTiffNoCompression = 1;
constexpr int kTiffPackBits = 32773;

// Directories followed along one chain at most; further ones are ignored.
constexpr int kTiffMaxDirectories = 65535;

// One directory entry as its 12 bytes in the file.  After parsing, a value
// that fits the field is in host order: a single SHORT or SSHORT as the
// number itself, two of them as two host-order halves (half i at bytes
// 2i..2i+1 of the field), up to four byte-sized values as the file's bytes in
// order, anything else (a single 32-bit value or the file offset of the
// values) as a 32-bit number.
struct TiffEntry {
    uint16_t tag;
    uint16_t type;
    uint32_t count;
    uint32_t value;
};
static_assert(sizeof(TiffEntry) == 12);

// One parsed directory.
struct TiffIFD {
    uint32_t offset = 0;  // file offset of the directory
    uint32_t next = 0;    // file offset of the next one, 0 = last
    int nentries = 0;
    std::vector<TiffEntry> entries;  // in file order
};

// The parsed file: every directory of the chain, in chain order.
struct TiffDir {
    int ndirs = 0;
    int byteOrder = kTiffLittle;
    uint32_t first = 0;  // offset of the first directory
    std::vector<std::unique_ptr<TiffIFD>> ifds;
};
using TiffDirPtr = std::unique_ptr<TiffDir>;

struct TiffHeader {
    int byteOrder = 0;  // kTiffLittle or kTiffBig
    int version = 0;    // 42
    uint32_t first = 0;
};

// ---- header and directory chain ---------------------------------------------
// Reads the 8-byte header; returns the first directory's offset, 0 when the
// file is too short, has no byte order mark or is not version 42.
uint32_t getTiffHead(int fd, TiffHeader* head);
// Walks the chain (cycles and more than kTiffMaxDirectories end it): returns
// the total number of entries and stores the number of directories.
int getTiffInfo(int fd, int* ndirs, TiffHeader* head);
// Builds the parsed file; null when it has no readable directory.  A
// directory that cannot be read ends the chain.
TiffDirPtr getTiffDir(int fd);
void delTiffDir(TiffDir* dir);
// Reads one directory; null (after a message) when it cannot.
std::unique_ptr<TiffIFD> getTiffNextIFDEntry(int fd, int byteOrder, uint32_t offset);

// ---- entries -----------------------------------------------------------------
int getTiffEntryIndex(const TiffIFD* ifd, int tag);
const TiffEntry* findTiffEntry(const TiffIFD* ifd, int tag);
// Bytes of one value of a field type, 0 for unknown types.
int tiffTypeSize(int type);
// True when the entry's values are held in its value field.
bool tiffEntryInline(const TiffEntry& e);
// Byte i (0..3) and 16-bit half i (0..1) of an inline value field.
uint8_t tiffEntryByte(const TiffEntry& e, int i);
uint16_t tiffEntryHalf(const TiffEntry& e, int i);
// File offset where the entry's values lie: inside the directory for inline
// values, else the value field.
int64_t tiffEntryDataOffset(const TiffIFD* ifd, int index);

// Every value byte of an entry in file byte order (inline ones re-encoded),
// or false when the type is unknown or the values lie beyond the file.
bool readTiffEntryBytes(int fd, int byteOrder, const TiffEntry& e, std::vector<uint8_t>& out);
// Values of a BYTE, SHORT or LONG entry as unsigned integers; false for
// other types or values beyond the file.
bool readTiffUints(int fd, int byteOrder, const TiffEntry& e, std::vector<uint32_t>& out);
// One unsigned value (BYTE, SHORT or LONG) of a tag; false when absent, of
// another type or index is out of range.
bool getTiffUint(int fd, int byteOrder, const TiffIFD* ifd, int tag, uint32_t index, uint32_t* out);

// Decodes element i of a value block in file order.
uint16_t tiffLoad16(const uint8_t* p, int byteOrder);
uint32_t tiffLoad32(const uint8_t* p, int byteOrder);
double tiffLoadDouble(const uint8_t* p, int byteOrder);
float tiffLoadFloat(const uint8_t* p, int byteOrder);

// Elements of an array at a file offset (-1 on a failed read).
int64_t getTiffOffsetLong(int fd, int byteOrder, int64_t base, int64_t index);
int64_t getTiffOffsetUshort(int fd, int byteOrder, int64_t base, int64_t index);
double getTiffOffsetDouble(int fd, int byteOrder, int64_t base, int64_t index);
// An inline single value interpreted by its field type.
int64_t convertTiffOffsetLong(int type, uint32_t value);

// Single-value getters, -1 when the tag is absent.
int64_t getTiffImageWidth(const TiffIFD* ifd);
int64_t getTiffImageLength(const TiffIFD* ifd);
int64_t getTiffCompression(const TiffIFD* ifd);
int64_t getTiffTileWidth(const TiffIFD* ifd);
int64_t getTiffTileLength(const TiffIFD* ifd);
int64_t getTiffSamplePerPixel(const TiffIFD* ifd);  // 1 when absent
int64_t getTiffPhotometricInterpretation(const TiffIFD* ifd);
int64_t getTiffRowsPerStrip(const TiffIFD* ifd);
int64_t getTiffBytesPerStrip(const TiffIFD* ifd);
int64_t getTiffStripOffsets(const TiffIFD* ifd, uint32_t* count);
// Element index of a tag's values; -1 when absent or out of range.
int64_t getTiffArrayElement(int fd, const TiffIFD* ifd, int tag, int64_t index, int byteOrder);
int64_t getTiffBitsPerSample(int fd, const TiffIFD* ifd, int64_t index, int byteOrder);
int64_t getTiffSampleFormat(int fd, const TiffIFD* ifd, int64_t index, int byteOrder);

// ---- colour maps and GeoTIFF -------------------------------------------------
// Reads the ColorMap into table (at most 256 colours are taken); returns 3 x
// the colours read, or -1 (no map, a count not divisible by 3, an unknown
// type or values beyond the file).
int getTiffColormap(int fd, const TiffIFD* ifd, unsigned char table[256][3], int byteOrder);
// Rewrites the existing ColorMap values from table with the entry's own
// type; returns 3 x the colours written, or -1.
int putTiffColormap(int fd, const TiffIFD* ifd, const unsigned char table[256][3], int byteOrder);
// Read at most 3 (resp. 6) doubles; return the tag's count or -1.
int getGeoTiffPixelScales(int fd, const TiffIFD* ifd, int byteOrder, double out[3]);
int getGeoTiffTiePoints(int fd, const TiffIFD* ifd, int byteOrder, double out[6]);

// ---- writing ------------------------------------------------------------------
// Writes header, value arrays and directory of a new single-strip file in
// host byte order (GeoTIFF tags too when head carries a map origin); returns
// 8, the offset of the pixel data, or -1 after a message.
int initTiff(int fd, int checkSpace, const ImageHead* head, int columns, int rows, int nbands, int pixel,
             const unsigned char (*colorTable)[3]);

// ---- the handler's private data ----------------------------------------------
// Strip or tile map of the selected directory, with the real (unsigned
// 32-bit) offsets.
struct TiffLayout {
    int compression = kTiffNoCompression;
    bool tiled = false;
    int rowsPerStrip = 0;    // strips: 1..rows
    int tileWidth = 0;       // tiles
    int tileLength = 0;
    int tilesAcross = 0;
    int tilesDown = 0;
    int64_t tileLineBytes = 0;  // bytes of one tile line in the file
    int blockLines = 0;      // most lines one getTiffBlock returns
    std::vector<uint32_t> offsets;
    std::vector<uint32_t> byteCounts;  // empty when the file gives none
};

struct TiffInfo : HandlerData {
    int georef = 0;         // 1 when a tie point was read
    int tileWidth = -1;
    int tileLength = -1;
    int nstrips = 0;        // count of the strip (or tile) offsets
    int64_t rowsPerStrip = -1;
    uint32_t stripByteCounts = 0;  // raw value field
    int compression = -1;
    int byteOrder = kTiffLittle;
    int current = 1;        // selected directory, 1-based
    TiffDirPtr dir;
    TiffLayout layout;
    std::vector<uint8_t> scratch;  // compressed bytes or a raw tile, reused
    std::vector<uint8_t> tileBuf;  // a decoded PackBits tile, reused
};

// The TIFF handler's data of an image, null for images of other formats.
inline TiffInfo* tiffInfoOf(const RAMImage* img) {
    return img ? dynamic_cast<TiffInfo*>(img->privData.get()) : nullptr;
}
