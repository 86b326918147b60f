// The FFT file of the frequency-domain application: a 1024-byte header in
// host byte order, then rows x columns complex values (pairs of 32-bit
// floats, real then imaginary), row after row.  These routines move whole
// rows or column segments between the file and memory and keep the running
// statistics in the header.
//
// None of them ends the process: failures are printed on the console's
// stderr and returned (-1, or a null pointer).
#pragma once
#include <cstddef>
#include <cstdint>

constexpr int kFFTHeadSize = 1024;
// The magic as the header carries it, NUL-padded to 16 bytes.
constexpr char kFFTMagic[16] = "FFT IMAGE FILE";

// What the data of an FFT file holds (field `content`).
enum FFTContent : int {
    FFT_INIT = 0,   // spatial data, not transformed
    FFT_SFRI = 1,   // 2-D spectrum, real and imaginary
    FFT_SFPP = 2,   // 2-D spectrum, amplitude and phase
    FFT_FSRI = 3,   // spatial domain, real and imaginary
    FFT_FSPP = 4,   // spatial domain, amplitude and phase
    FFT_SFRIX = 5,  // transformed along x only, real and imaginary
    FFT_SFRIY = 6,  // transformed along y only, real and imaginary
    FFT_SFPPX = 7,  // along x only, amplitude and phase
    FFT_SFPPY = 8   // along y only, amplitude and phase
};

// The header record, byte for byte as in the file.
struct FFTHead {
    char magic[16];
    char source[64];      // file name of the source image (first 64 bytes)
    int32_t band;         // transformed band of the source, from 1
    int32_t rows;         // N, a power of two
    int32_t columns;      // M, a power of two
    int32_t srcRows;
    int32_t srcColumns;
    int32_t content;      // FFTContent
    double count;         // complex values counted into the statistics
    double maxReal, minReal;
    double maxImag, minImag;
    double meanReal, meanImag;
    // Standard deviations; while the file is being written, the means of
    // the squares.
    double stdReal, stdImag;
    char reserved[848];
};

static_assert(sizeof(FFTHead) == kFFTHeadSize);
static_assert(offsetof(FFTHead, band) == 80 && offsetof(FFTHead, content) == 100);
static_assert(offsetof(FFTHead, count) == 104 && offsetof(FFTHead, stdImag) == 168);

// Sets the statistics to "nothing counted yet": largest values at the most
// negative double, smallest at the most positive, count and means 0.
void resetFFTStats(FFTHead* head);

// Opens path read-write and reads its header into *head.  Returns the
// descriptor, positioned after the header, or -1 after a message: the
// system error for path, "Not an FFT image file!\n", or a note on rows or
// columns that are not powers of two.
int OpenOLDFFTFile(const char* path, FFTHead* head);

// Creates (or truncates) path with mode 0600, checks that its file system
// has room for the header and N x M complex values, writes *head, gives the
// file its full length (the values read as zeros until written) and opens
// it again through OpenOLDFFTFile.  Returns the descriptor or -1
// ("Insufficient disk space.\n" and the sizes when room is short).
int OpenNEWFFTFile(const char* path, FFTHead* head);

// Writes the header at offset 0.  Returns 1024, or -1 after a message.
int PutFFTHead(const FFTHead* head, int fd);

// Reads nRows whole rows from row firstRow into buffer (2 x M floats a row).
// A null buffer is allocated with malloc (the caller frees it with free).
// Returns the buffer, or null after a message.
float* GetFFTFileBlock(const FFTHead* head, int fd, float* buffer, int firstRow, int nRows);

// Reads columns firstCol .. firstCol + nCols - 1 of every row, stored row
// after row (2 x nCols floats a row).  Buffer as for GetFFTFileBlock.
float* GetFFTFileSeg(const FFTHead* head, int fd, float* buffer, int firstCol, int nCols);

// The writing counterparts.  With accumulate set every row piece is first
// counted into the header's statistics (statFFT).  Return the rows (or
// columns) written, or -1 after a message.
int PutFFTFileBlock(FFTHead* head, int fd, const float* buffer, int firstRow, int nRows, int accumulate);
int PutFFTFileSeg(FFTHead* head, int fd, const float* buffer, int firstCol, int nCols, int accumulate);

// Counts n complex values (2 x n floats) into the header's statistics:
// extremes of the real and imaginary parts, and the running means of the
// parts and of their squares, weighted by the counts.
void statFFT(FFTHead* head, const float* values, int64_t n);

// Reads or writes length bytes at offset (at the current position when
// offset is negative) in pieces of at most 32768 bytes.  Return the bytes
// moved; a short transfer is reported ("lseek in getFileData" / "read in
// getFileData" with the system error; "getFileData error in lseek\n" /
// "putFileData error in write\n" unless quiet).  `fatal` is kept for the
// callers' sake: a failure is always returned, never fatal to the process.
int64_t getFileData(int fd, void* buffer, int64_t length, int64_t offset, int fatal);
int64_t putFileData(int fd, const void* buffer, int64_t length, int64_t offset, int quiet);
