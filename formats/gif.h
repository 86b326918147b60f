// GIF87a/GIF89a reading: the block reader, the LZW decoder and the per-image
// state that composes the frames of an animation into the line cache.
#pragma once
#include <cstdint>
#include <vector>

#include "ramimage/ramimage.h"

namespace gif {

// Screen sizes beyond this are refused at recognition: the whole screen is
// held in memory, and the format's 16-bit fields allow 4 GB.
constexpr int64_t kMaxScreenPixels = int64_t(1) << 28;

// Buffered sequential reader over a descriptor, starting at a file offset.
// Reads with pread, so the descriptor's own position never moves.
class GifReader {
public:
    GifReader(int fd, int64_t pos) : fd_(fd), pos_(pos) {}
    // Next byte, or -1 at the end of the file (or on a read error).
    int byte() {
        if (at_ == len_ && !fill()) return -1;
        return buf_[at_++];
    }
    // Copies up to n bytes; returns how many were there.
    int64_t read(void* dst, int64_t n);
    // Byte offset of the next byte to be read.
    int64_t tell() const { return pos_ - (len_ - at_); }
    void seek(int64_t pos);
    int fd() const { return fd_; }

private:
    bool fill();
    int fd_;
    int64_t pos_;  // file offset just past the buffered bytes
    int64_t at_ = 0, len_ = 0;
    unsigned char buf_[32768];
};

// Colour table as read from the file (up to 256 entries).
struct ColorTable {
    int count = 0;
    unsigned char rgb[256][3] = {};
};

struct LogicalScreen {
    int width = 0, height = 0;
    int flags = 0;       // packed fields
    int background = 0;  // background colour index
    int aspect = 0;
    ColorTable global;   // count 0 when the file has none
};

struct ImageDescriptor {
    int left = 0, top = 0, width = 0, height = 0;
    int flags = 0;
    int codeSize = 0;  // LZW minimum code size
    ColorTable local;  // count 0 when the image has none
    bool interlaced() const { return flags & 0x40; }
};

struct GraphicControl {
    bool present = false;
    int disposal = 0;
    bool userInput = false;
    bool hasTransparency = false;
    int transparent = -1;
    int delayMs = 0;  // the file's delay x 10
};

// 10 for "GIF87a", 11 for "GIF89a", 0 otherwise.
int getGifSig(GifReader& in);
// The logical screen descriptor and the global colour table; false on a
// short read.
bool getGifLSD(GifReader& in, LogicalScreen& lsd);
// The image descriptor after its ',' separator, its local colour table and
// the LZW minimum code size: 2 with a local table, 1 without, 0 on a short
// read.
int getGifImgDes(GifReader& in, ImageDescriptor& des);
// One data sub-block into buf (255 bytes): its length, 0 for the
// terminator, -1 on a short read (after a message).
int getGifBlock(GifReader& in, unsigned char* buf);
// Skips data sub-blocks through the terminator; false when the file ends
// first.
bool skipGifBlocks(GifReader& in);
// Reads a graphic control extension (after its label); false on a short read.
bool getGifGraphicControl(GifReader& in, GraphicControl& gce);
// From the reader's position, skips extensions up to the first image
// separator; returns the offset after it, 0 at the end of the file and -1 for
// an unknown extension label.  A graphic control extension with its
// transparency flag set stores its index in *transparent.
int64_t getImgSeparate(GifReader& in, int* transparent);

// The package's LZW decoder of one image's data sub-blocks.  Codes are read
// least significant bit first from a 64-bit bit store that is refilled from
// as many sub-blocks as it takes.
class GifDecoder {
public:
    static constexpr int kMaxCodes = 4096;

    // Starts decoding at the reader's position (just after the minimum code
    // size byte).  False for a minimum code size outside 1..11, which leaves
    // the decoder ended.
    bool initGifImgBlk(GifReader* in, int minCodeSize);
    // Resets the string table after a clear code.
    void setGifImgBlk();
    // Next code, or -1 when the data ends (terminator, end of file).
    int getNextGifCode();
    // Next pixel index, or -1 at the end of the data (or a corrupt code).
    int getNextGifByte();
    // Fills up to n pixel indices; returns how many were produced (fewer
    // only when the data ended).
    int64_t read(unsigned char* out, int64_t n);
    // Skips whatever is left of the data through its terminator; false when
    // the file ended first.
    bool finish();

    bool ended() const { return ended_; }
    bool corrupt() const { return corrupt_; }
    int codeSize() const { return codeSize_; }

private:
    bool refill();
    void growCodeSize() {
        if (nextFree_ >= sizeLimit_ && sizeLimit_ < kMaxCodes) {
            sizeLimit_ <<= 1;
            ++codeSize_;
        }
    }
    int64_t emit(int code, unsigned char* out, int64_t room);

    GifReader* in_ = nullptr;
    int minCodeSize_ = 0;
    int clearCode_ = 0, endCode_ = 0;
    int codeSize_ = 0;
    int sizeLimit_ = 0;
    int nextFree_ = 0;
    int oldCode_ = -1;
    bool ended_ = true;
    bool corrupt_ = false;
    bool terminatorSeen_ = false;
    bool eof_ = false;
    uint64_t bits_ = 0;
    int nbits_ = 0;
    int blockLen_ = 0, blockAt_ = 0;
    unsigned char block_[256];
    // Pending output of a string that did not fit the caller's room.
    int pendingAt_ = 0, pendingEnd_ = 0;
    uint16_t prefix_[kMaxCodes];
    uint16_t length_[kMaxCodes];
    unsigned char suffix_[kMaxCodes];
    unsigned char first_[kMaxCodes];
    unsigned char pending_[kMaxCodes];
};

// What recognition learns about a file, kept for decoding and rewinding.
struct GifInfo {
    int version = 0;  // 10 or 11
    LogicalScreen lsd;
    int transparent = -1;  // of the first graphic control before the image
    int64_t dataStart = 0;  // offset after the global colour table
};
// Reads the file's header; false when it is not a usable GIF.
bool readGifInfo(int fd, GifInfo& info);

}  // namespace gif

// Starts again from the first frame (decodes it); 0 when it cannot.
int rewindGIF(RAMImage* img);
