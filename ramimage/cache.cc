// The line cache: one buffer of band-line slots (and, for the packed display
// types, their packed rows), sizing, residency, flushing and invalidation.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "formats/formats.h"
#include "init/output.h"
#include "ramimage/convert.h"
#include "ramimage/fileio.h"
#include "ramimage/ramimage.h"

namespace {

int64_t defaultLimit() {
    long pages = ::sysconf(_SC_PHYS_PAGES);
    long size = ::sysconf(_SC_PAGESIZE);
    if (pages > 0 && size > 0) return static_cast<int64_t>(pages) * size;
    return int64_t{1} << 32;
}

int64_t gCacheLimit = -1;

}  // namespace

int64_t cacheByteLimit() {
    if (gCacheLimit < 0) gCacheLimit = defaultLimit();
    return gCacheLimit;
}

void setCacheByteLimit(int64_t bytes) { gCacheLimit = bytes > 0 ? bytes : -1; }

namespace {

// Large buffers come straight from the kernel: page-aligned (the kernel's
// copies into unaligned destinations are several times slower) and zero
// until first written.  Small ones are cache-line aligned.
constexpr int64_t kMapThreshold = int64_t{1} << 16;
constexpr int64_t kPopulateLimit = int64_t{8} << 20;

unsigned char* bufferAlloc(int64_t n) {
    if (n >= kMapThreshold) {
        // A cache of a few megabytes is filled at once by a scan: its pages
        // are better made in one call than in a fault each.
        const int populate = n <= kPopulateLimit ? MAP_POPULATE : 0;
        void* p = ::mmap(nullptr, static_cast<size_t>(n), PROT_READ | PROT_WRITE,
                         MAP_PRIVATE | MAP_ANONYMOUS | populate, -1, 0);
        if (p == MAP_FAILED) return nullptr;
        // Whole images in memory are walked end to end; huge pages spare
        // most of the faults and TLB misses.
        if (n >= (int64_t{2} << 20)) ::madvise(p, static_cast<size_t>(n), MADV_HUGEPAGE);
        return static_cast<unsigned char*>(p);
    }
    size_t rounded = static_cast<size_t>((n + 63) / 64 * 64);
    auto* p = static_cast<unsigned char*>(std::aligned_alloc(64, rounded ? rounded : 64));
    if (p) std::memset(p, 0, rounded ? rounded : 64);
    return p;
}

void bufferFree(unsigned char* p, int64_t n) {
    if (!p) return;
    if (n >= kMapThreshold)
        ::munmap(p, static_cast<size_t>(n));
    else
        std::free(p);
}

}  // namespace

CacheBuffer& CacheBuffer::operator=(CacheBuffer&& o) noexcept {
    if (this != &o) {
        bufferFree(p_, n_);
        p_ = o.p_;
        n_ = o.n_;
        o.p_ = nullptr;
        o.n_ = 0;
    }
    return *this;
}

CacheBuffer::~CacheBuffer() { bufferFree(p_, n_); }

bool CacheBuffer::allocate(int64_t n, int fill) {
    bufferFree(p_, n_);
    p_ = nullptr;
    n_ = 0;
    if (n < 0 || n > cacheByteLimit()) return false;
    auto* p = bufferAlloc(n);
    if (!p) return false;
    if (fill & 0xff) std::memset(p, fill & 0xff, static_cast<size_t>(n));
    p_ = p;
    n_ = n;
    return true;
}

bool flushRAMImage(RAMImage* img) {
    if (!img) return true;
    bool ok = true;
    for (int64_t k = 0; k < img->slotCount; ++k)
        if (img->dirtyBits[k] && !img->flushLineProc(img, k)) ok = false;
    return ok;
}

void inValidateRAMImage(RAMImage* img) {
    if (!img) return;
    std::fill(img->slotLine.begin(), img->slotLine.end(), -1);
    std::fill(img->dirtyBits.begin(), img->dirtyBits.end(), 0);
}

int setRAMImageBuf(RAMImage* img, int lines) {
    if (!img) return 0;
    const ImageHead& h = img->head;
    if (h.rows < 1 || h.nbands < 1 || img->lineBytes < 1) return 0;
    // Edits in the old slots go to the file before the slots are dropped; a
    // failed write keeps the old cache (and its edits) as it is.
    if (!flushRAMImage(img)) {
        zarn::conPrintf(zarn::kStderr, "Cache of %s kept: its modified lines could not be written.\n", h.file);
        return 0;
    }
    if (lines < 1) lines = 1;
    int64_t extra = 0;
    switch (h.imgid) {
    case IMG_TIFF: {
        int s = tiffBlockLines(img);
        if (s > 0) {
            int64_t l = (static_cast<int64_t>(lines) + s - 1) / s * s;
            l = std::max<int64_t>(l, 2 * static_cast<int64_t>(s));
            lines = static_cast<int>(std::min<int64_t>(l, h.rows));
        }
        if (lines > h.rows || img->fd < 0) lines = h.rows;
        break;
    }
    case IMG_GIF87a:
    case IMG_GIF89a:
    case IMG_JPEG: lines = h.rows; break;
    case IMG_MRGB32:
    case IMG_MRGB24:
    case IMG_MRGB565:
    case IMG_MRGB555:
        lines = 3;
        extra = static_cast<int64_t>(h.block) * h.rows;
        break;
    case IMG_MRGB8:
    case IMG_MRGB4:
    case IMG_MRGB1:
        lines = 1;
        extra = static_cast<int64_t>(h.block) * h.rows;
        break;
    default:
        if (lines > h.rows || img->fd < 0) lines = h.rows;
        break;
    }
    // A resident image whose layout does not change keeps its buffer and so
    // its pixels.
    if (img->fd < 0 && img->buffer.data() && img->cacheLines == lines &&
        img->slotCount == static_cast<int64_t>(lines) * h.nbands && img->extraBytes == extra)
        return lines;
    int fill = h.transparent >= 0 ? (h.transparent & 0xff) : 0;
    for (;;) {
        int64_t slots = static_cast<int64_t>(lines) * h.nbands;
        auto bytes = zarn::mulSize(slots, img->lineBytes);
        auto total = bytes ? zarn::addSize(*bytes, extra) : std::nullopt;
        CacheBuffer buf;
        std::vector<int64_t> slotLine;
        std::vector<unsigned char> dirty;
        bool ok = total && buf.allocate(*total, fill);
        if (ok) {
            try {
                slotLine.resize(static_cast<size_t>(slots));
                dirty.assign(static_cast<size_t>(slots), 0);
            } catch (const std::bad_alloc&) {
                ok = false;
            }
        }
        if (ok) {
            bool resident = img->fd < 0 && extra == 0;
            for (int64_t k = 0; k < slots; ++k) slotLine[k] = resident ? k : -1;
            img->buffer = std::move(buf);
            img->slotLine = std::move(slotLine);
            img->dirtyBits = std::move(dirty);
            img->extraBytes = extra;
            img->lastMiss = -2;
            img->cacheLines = lines;
            img->slotCount = slots;
            return lines;
        }
        if (img->fd >= 0 && lines - h.nbands >= 1) {
            lines -= h.nbands;
            continue;
        }
        zarn::conPuts(zarn::kStderr, "Fatal error of malloc in: setRAMImageBuf\n");
        return 0;
    }
}

bool holdWholeImage(RAMImage* img) {
    if (!img) return false;
    const ImageHead& h = img->head;
    const unsigned char* before = img->buffer.data();
    if (img->cacheLines != h.rows || img->extraBytes != 0) {
        int fd = img->fd;
        // Sized as for a resident image: every band-line in its own slot.
        img->fd = -1;
        int got = setRAMImageBuf(img, h.rows);
        img->fd = fd;
        if (got != h.rows) return false;
    }
    // A buffer just allocated is already filled.
    int fill = h.transparent >= 0 ? (h.transparent & 0xff) : 0;
    if (img->buffer.data() == before)
        std::memset(img->buffer.data(), fill, static_cast<size_t>(img->slotCount * img->lineBytes));
    for (int64_t k = 0; k < img->slotCount; ++k) img->slotLine[k] = k;
    std::fill(img->dirtyBits.begin(), img->dirtyBits.end(), 0);
    return true;
}

int setRAMImageMemResident(RAMImage* img, int on) {
    if (!img) return 0;
    if (on) {
        if (img->fd < 0) return 1;
        if (setRAMImageBuf(img, img->head.rows) != img->head.rows) return 0;
        for (int b = 0; b < img->head.nbands; ++b)
            for (int l = 0; l < img->head.rows; ++l) img->getLineProc(img, l, b, 1);
        if (!flushRAMImage(img)) return 0;
        img->view.reset();
        ::close(img->fd);
        img->fd = -1;
        img->hasIdentity = false;
        return 1;
    }
    if (img->fd >= 0) return 1;
    int fd = ::open(img->head.file, O_RDWR);
    if (fd < 0) return 0;
    img->fd = fd;
    img->readOnly = false;
    return 1;
}
