// ERDAS 7.3/7.4 files as the processing applications use them directly,
// without the store: the 128-byte header held in host order, and band-lines
// read straight from the file.
#pragma once
#include <cstddef>
#include <cstdint>

constexpr int kErdasHeadSize = 128;

// The header as it sits in a 7.4 file, in host byte order.  A 7.3 file
// ("HEADER") stores columns, rows, xstart and ystart as floats;
// OpenOLDERDAS converts them and relabels the record "HEAD74", so users of
// the record see one layout.
struct ErdasHead {
    char magic[6];        // "HEAD74" or "E74BSQ" (not terminated)
    int16_t npack;        // packing code: 0 BYTE, 1 4BITS, 2 USHORT, 3 LONG, 4 FLOAT, 5 SHORT
    int16_t nbands;
    char reserved1[6];
    int32_t columns;
    int32_t rows;
    int32_t xstart;       // first column in the scene's numbering
    int32_t ystart;       // first row in the scene's numbering
    char reserved2[80];
    float x0, y0;         // map coordinates of the first pixel
    float dx, dy;         // pixel size
};

static_assert(sizeof(ErdasHead) == kErdasHeadSize);
static_assert(offsetof(ErdasHead, columns) == 16 && offsetof(ErdasHead, xstart) == 24);
static_assert(offsetof(ErdasHead, x0) == 112 && offsetof(ErdasHead, dy) == 124);

// Opens an ERDAS file read-write (read-only when writing is not allowed) and
// reads its header into *head.  Returns the descriptor, or -1 after a
// message: the system error for path, "Not an ERDAS file.\n", or a note on
// an unusable header (rows, columns or bands below 1, 7.3 sizes that are no
// valid integers).
int OpenOLDERDAS(const char* path, ErdasHead* head);

// Bits per sample of the packing code (0..4 -> 8, 4, 16, 32, 32), or 0
// after "Unsupported NPACK %ld\n".
int nBitsErdas(const ErdasHead* head);

// Bytes of one band-line, (columns x bits + 4) / 8; -1 for an unsupported
// packing code.
int64_t erdasLineBytes(const ErdasHead* head);

// Reads band-line (band, row) (both from 0) into buffer, which holds
// erdasLineBytes(head) bytes.  Lines of "HEAD74" files are interleaved by
// line, those of "E74BSQ" files band-sequential.  Returns the bytes read, or
// -1 after a message (a band or row outside the image is reported as a seek
// error).
int64_t GetErdasLine(const ErdasHead* head, int fd, int band, int row, void* buffer);
