// The RAM image: a multi-band raster held in memory or paged from its file
// through a direct-mapped line cache, with the process-wide image list, the
// format registry and the open/close lifecycle.
#pragma once
#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "ramimage/fileview.h"
#include "ramimage/imagehead.h"

struct RAMImage;

// Private data a format handler hangs on an image; freed with the image.
struct HandlerData {
    virtual ~HandlerData() = default;
};
using HandlerPtr = std::unique_ptr<HandlerData>;

using GetLineProc = unsigned char* (*)(RAMImage* img, int line, int band, int mode);
// Writes one slot back; false when the write failed (already reported).
using FlushLineProc = bool (*)(RAMImage* img, int64_t slot);
using SeekProc = int (*)(RAMImage* img, int volume);

// Client bits of updateClient.
constexpr int RIMG_CONFIG = 1;
constexpr int RIMG_DISPLAY = 2;

// A record a client (display master, image object) links into an image to be
// told of configuration and pixel changes.  Owned by the client.
struct RAMImageClient {
    void (*configProc)(void* clientData) = nullptr;
    void (*displayProc)(void* clientData) = nullptr;
    const void* owner = nullptr;
    void* clientData = nullptr;
    RAMImageClient* next = nullptr;
};

// Histogram record of one band.
struct HistRecord {
    double sum = 0, sumSq = 0, count = 0, mean = 0, std = 0;
    double min = 0, max = 0;
    int valid = 0;
    int nbins = 0;
    std::vector<uint32_t> bins;
};

// The cache's single allocation: S slots of lineBytes, then the packed rows of
// the display types.  Zero-filled lazily by the allocator when possible.
class CacheBuffer {
public:
    CacheBuffer() = default;
    CacheBuffer(const CacheBuffer&) = delete;
    CacheBuffer& operator=(const CacheBuffer&) = delete;
    CacheBuffer(CacheBuffer&& o) noexcept : p_(o.p_), n_(o.n_) {
        o.p_ = nullptr;
        o.n_ = 0;
    }
    CacheBuffer& operator=(CacheBuffer&& o) noexcept;
    ~CacheBuffer();
    // Allocates n bytes filled with `fill`; false (and empty) on failure.
    bool allocate(int64_t n, int fill);
    unsigned char* data() const { return p_; }
    int64_t size() const { return n_; }

private:
    unsigned char* p_ = nullptr;
    int64_t n_ = 0;
};

struct RAMImage {
    char tag[kNameMax] = {};
    ImageHead head = blankImageHead();
    int fd = -1;
    int64_t lineBytes = 0;     // bytes of one band-line in the cache
    int openCount = 0;         // C-level opens
    int cmdOpens = 0;          // opens through the rimage command
    int cacheLines = 0;        // lines per band the cache holds
    int64_t slotCount = 0;     // cacheLines * nbands
    int attr = 0;              // bit 0: locked
    int curVolume = 0;         // 1-based, 0 = none selected yet
    int volumeCount = -1;      // -1 = not yet known
    int delay = 0;             // frame delay in ms
    int64_t dataOffset = 0;    // file offset of the current volume's data
    HandlerPtr privData;
    SeekProc seekProc = nullptr;
    GetLineProc getLineProc = nullptr;
    FlushLineProc flushLineProc = nullptr;
    std::vector<int64_t> slotLine;       // line-band index held by each slot, -1 empty
    std::vector<unsigned char> dirtyBits;  // one flag a slot
    CacheBuffer buffer;
    int64_t extraBytes = 0;    // size of the packed-row area after the slots
    std::vector<HistRecord> hist;  // empty = none computed
    RAMImageClient* clients = nullptr;
    RAMImage* next = nullptr;
    // File identity (device and inode), so two spellings are one record.
    bool readOnly = false;     // the file could only be opened for reading
    bool hasIdentity = false;
    dev_t dev = 0;
    ino_t ino = 0;
    // Scratch lines: zeros handed out for band-lines outside the image, and
    // the record buffer of the pixel-interleaved layouts.
    std::vector<unsigned char> scratch;
    std::vector<unsigned char> record;
    // Line-band index of the last band-line read from the file, to notice
    // sequential scans and read ahead.
    int64_t lastMiss = -2;
    // Mapped windows onto the file, for handlers that read straight from it.
    zarn::FileView view;

    RAMImage() = default;
    // (slotOf's reciprocal, remade whenever slotCount has changed)
    mutable int64_t slotDivisor_ = 0;
    mutable uint64_t slotReciprocal_ = 0;

    RAMImage(const RAMImage&) = delete;
    RAMImage& operator=(const RAMImage&) = delete;
    ~RAMImage();

    unsigned char* slotPtr(int64_t slot) const { return buffer.data() + slot * lineBytes; }
    // The slot of line-band index idx, idx % slotCount.  While both fit 32
    // bits this is two multiplications by a kept reciprocal instead of a
    // division, the dearest step of a cache hit.
    int64_t slotOf(int64_t idx) const {
        if (slotDivisor_ != slotCount) {
            slotDivisor_ = slotCount;
            slotReciprocal_ = slotCount > 0 ? UINT64_MAX / static_cast<uint64_t>(slotCount) + 1 : 0;
        }
        if (((idx | slotCount) >> 32) != 0) return idx % slotCount;
        const uint64_t low = slotReciprocal_ * static_cast<uint64_t>(idx);
        return static_cast<int64_t>((static_cast<unsigned __int128>(low) * static_cast<uint64_t>(slotCount)) >> 64);
    }
    unsigned char* extraArea() const { return buffer.data() + slotCount * lineBytes; }
    bool locked() const { return attr & 1; }
};

// Error codes of the creating functions.
enum RamError {
    RAMERR_NONE = 0,
    RAMERR_MEMORY = 1,
    RAMERR_TYPE = 2,
    RAMERR_OPEN = 3,
    RAMERR_SYSTEM = 4,
    RAMERR_EXISTS = 5,
    RAMERR_CREATE = 6,
    RAMERR_GEOMETRY = 7,
    RAMERR_UNHANDLED = 8
};
const char* ramimgError(int code);
void ramimgErrorReport(int code);

// ---- list and lookup -------------------------------------------------------
RAMImage* getRAMImage();
RAMImage* getRAMImageByTag(const char* tag);
// By file name; a file reached by another spelling (same device and inode)
// matches too.
RAMImage* getRAMImageByName(const char* name);
void linkRAMImage(const char* tag, RAMImage* img);
void unlinkRAMImage(RAMImage* img);

// ---- creation and opening --------------------------------------------------
RAMImage* openRAMImage(const char* tag, const char* name, const ImageHead* head, RAMImageClient* client,
                       int* err);
RAMImage* openRAMImageNew(ImageHead* head, RAMImageClient* client, int overwrite, int* err);
int createImage(ImageHead* head);
int initImageHead(int fd, int checkSpace, ImageHead* head);
int64_t initImageData(int fd, ImageHead* head);
RAMImage* createRAMImage(const char* name, const ImageHead* head, RAMImage* reuse, int* err);
RAMImage* residentRAMImage(const ImageHead* head, RAMImage* reuse, int* err);
RAMImage* updateRAMImage(const char* name, const ImageHead* head, RAMImage* img, int* err);
int attrRAMImage(RAMImage* img, int attr);
int updateImageIndices(int fd, ImageHead* head, HandlerData* priv);

// Checks a head's geometry before anything is allocated: rows, columns and
// bands at least 1 and every derived size within 64-bit and int limits.
// Returns 0 or a RamError code.
int checkImageGeometry(const ImageHead& head);

// ---- closing and clients ---------------------------------------------------
int closeRAMImage(RAMImage* img, RAMImageClient* client);
void destroyRAMImage(RAMImage* img);
int linkRAMImageClient(RAMImageClient* client, RAMImage* img);
int unlinkRAMImageClient(RAMImageClient* client, RAMImage* img);
RAMImage* unlinkClient(RAMImageClient* client);
void updateClient(RAMImage* img, const void* except, int bits);

// Keeps an image open for the length of a scope (an operation that may run
// the event loop): one open on entry, closeRAMImage on exit.
class RAMImagePin {
public:
    explicit RAMImagePin(RAMImage* img) : img_(img) {
        if (img_) ++img_->openCount;
    }
    RAMImagePin(const RAMImagePin&) = delete;
    RAMImagePin& operator=(const RAMImagePin&) = delete;
    ~RAMImagePin() {
        if (img_) closeRAMImage(img_, nullptr);
    }

private:
    RAMImage* img_;
};

// ---- cache and residency ---------------------------------------------------
int setRAMImageBuf(RAMImage* img, int lines);
int setRAMImageMemResident(RAMImage* img, int on);
// Writes back every dirty slot; false when any write failed.
bool flushRAMImage(RAMImage* img);
void inValidateRAMImage(RAMImage* img);
// For handlers that decode a whole image into the cache (GIF, JPEG, XBM):
// makes the cache hold every line of every band, fills it with the
// transparent value (0 when none) and marks each slot as holding its own
// band-line.  False when the cache cannot be allocated.
bool holdWholeImage(RAMImage* img);

// Largest cache a file image may allocate and largest image a handler may
// decode into memory; requests beyond are refused as allocation failures.
int64_t cacheByteLimit();
void setCacheByteLimit(int64_t bytes);

// ---- line access -----------------------------------------------------------
unsigned char* getRAMImageLine(RAMImage* img, int line, int band, int mode);
unsigned char* putRAMImageLine(RAMImage* img, int line, int band);
void updateRAMImageLine(RAMImage* img, int line, int x0, int count, int band);
bool flushRAMImageLine(RAMImage* img, int64_t slot);
unsigned char* getRGBRimgLine(RAMImage* img, int line, int band, int mode);
bool flushRGBRimgLine(RAMImage* img, int64_t slot);
void putBIPBlockIntoBuf(RAMImage* img, int line, int count, const unsigned char* buf);
void pixelByteSwap(int pixel, int64_t count, void* samples);
int getRAMImageVolume(RAMImage* img, int volume);

// True when (line, band) lies inside the image.
inline bool lineInRange(const RAMImage* img, int line, int band) {
    return line >= 0 && line < img->head.rows && band >= 0 && band < img->head.nbands;
}
