// Creating, opening and re-shaping RAM images.  Every re-shape builds the new
// state in a fresh record and moves it into the old one only on success, so a
// failure leaves the old image intact.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>

#include "formats/formats.h"
#include "init/output.h"
#include "ramimage/fileio.h"
#include "ramimage/hist.h"
#include "ramimage/ramimage.h"
#include "ramimage/registry.h"

namespace {

constexpr int64_t kCacheTarget = 0x3FFFF;  // bytes the default cache aims at
constexpr int kCacheMaxLines = 127;

bool isRecordStorage(int imgid) {
    return imgid == IMG_BIP || imgid == IMG_DIB || imgid == IMG_TIFF || imgid == IMG_FFT || imgid == IMG_PPM;
}

void chooseLineProcs(RAMImage* img) {
    if (isRGBImageType(img->head.imgid)) {
        img->getLineProc = getRGBRimgLine;
        img->flushLineProc = flushRGBRimgLine;
    } else {
        img->getLineProc = getRAMImageLine;
        img->flushLineProc = flushRAMImageLine;
    }
}

bool tooLong(const char* name) {
    if (name && std::strlen(name) >= static_cast<size_t>(kNameMax)) {
        zarn::conPrintf(zarn::kStderr, "File name too long (at most %d bytes): %.64s...\n", kNameMax - 1, name);
        return true;
    }
    return false;
}

// Lines per band of the default cache of a file image.
int defaultCacheLines(int nbands, int64_t lineBytes) {
    int n = 4;
    for (; n < kCacheMaxLines; ++n) {
        int64_t s = int64_t{n} * nbands;
        // n x nbands x lineBytes + n x nbands x 4 + n x nbands / 8 + 1, in
        // doubles so that absurd sizes cannot wrap.
        double bytes = static_cast<double>(s) * static_cast<double>(lineBytes) + 4.0 * s + s / 8 + 1;
        if (bytes > kCacheTarget) break;
    }
    return n;
}

// Moves the image state of `fresh` into `img`, keeping img's identity in the
// list (tag, counts, clients, attributes, position).  `fresh` ends up holding
// the old state and is destroyed.
void commitInto(RAMImage* img, RAMImage* fresh) {
    std::swap(img->head, fresh->head);
    std::swap(img->fd, fresh->fd);
    img->view.reset();  // it mapped the old file
    std::swap(img->lineBytes, fresh->lineBytes);
    std::swap(img->cacheLines, fresh->cacheLines);
    std::swap(img->slotCount, fresh->slotCount);
    std::swap(img->curVolume, fresh->curVolume);
    std::swap(img->volumeCount, fresh->volumeCount);
    std::swap(img->delay, fresh->delay);
    std::swap(img->dataOffset, fresh->dataOffset);
    std::swap(img->privData, fresh->privData);
    std::swap(img->seekProc, fresh->seekProc);
    std::swap(img->getLineProc, fresh->getLineProc);
    std::swap(img->flushLineProc, fresh->flushLineProc);
    std::swap(img->slotLine, fresh->slotLine);
    std::swap(img->dirtyBits, fresh->dirtyBits);
    std::swap(img->buffer, fresh->buffer);
    std::swap(img->extraBytes, fresh->extraBytes);
    std::swap(img->hist, fresh->hist);
    std::swap(img->readOnly, fresh->readOnly);
    std::swap(img->hasIdentity, fresh->hasIdentity);
    std::swap(img->dev, fresh->dev);
    std::swap(img->ino, fresh->ino);
    std::swap(img->scratch, fresh->scratch);
    std::swap(img->record, fresh->record);
    std::swap(img->lastMiss, fresh->lastMiss);
    delete fresh;
}

// Before a record is re-shaped its edits go to its old file.
void retire(RAMImage* img) {
    if (img) flushRAMImage(img);
}

int openFile(const char* name, bool* readOnly) {
    *readOnly = false;
    int fd = -1;
    for (int attempt = 0; attempt < 2 && fd < 0; ++attempt) {
        do {
            fd = ::open(name, O_RDWR);
        } while (fd < 0 && errno == EINTR);
    }
    if (fd < 0 && (errno == EACCES || errno == EROFS || errno == EPERM)) {
        fd = ::open(name, O_RDONLY);
        if (fd >= 0) *readOnly = true;
    }
    return fd;
}

}  // namespace

int checkImageGeometry(const ImageHead& h) {
    if (h.rows < 1 || h.columns < 1 || h.nbands < 1) return RAMERR_GEOMETRY;
    if (h.pixel < 0 || h.pixel >= PIX_COUNT) return RAMERR_GEOMETRY;
    const int64_t offset = h.imgid == IMG_TIFF ? int64_t{static_cast<uint32_t>(h.offset)} : int64_t{h.offset};
    if (offset < 0 || h.block < 0) return RAMERR_GEOMETRY;
    int64_t lb = pixelLineBytes(h.pixel, h.columns);
    auto perLine = zarn::mulSize(lb, h.nbands);
    auto whole = perLine ? zarn::mulSize(*perLine, h.rows) : std::nullopt;
    if (!perLine || !whole || !zarn::fitsInt(*perLine)) return RAMERR_GEOMETRY;
    auto data = zarn::mulSize(h.block, h.rows, h.nbands);
    if (!data || !zarn::addSize(*data, offset)) return RAMERR_GEOMETRY;
    return RAMERR_NONE;
}

int initImageHead(int fd, int checkSpace, ImageHead* head) {
    switch (head->imgid) {
    case IMG_BSQ:
    case IMG_BIL:
    case IMG_BIP:
        // Offset 0 asks for a raw file without header: the data starts at the
        // beginning, so no header may be left under it.
        if (head->offset <= 0) {
            head->offset = 0;
            return 0;
        }
        return initBASIC(fd, head);
    case IMG_E73:
    case IMG_E74:
    case IMG_E74BSQ: return initErdasHead(fd, checkSpace, head);
    case IMG_DIB: return initDIBHead(fd, checkSpace, head);
    case IMG_TIFF: return initTiffHead(fd, checkSpace, head);
    case IMG_PPM: return initPPMHead(fd, head);
    default: return head->offset;
    }
}

int64_t initImageData(int fd, ImageHead* head) {
    if (head->imgid == IMG_JPEG) return initJPEG(fd, head) < 0 ? -1 : head->offset;
    if (head->imgid == IMG_XBMP) return initXBMP(fd, head, nullptr, 0) < 0 ? -1 : head->offset;
    // Pixel-interleaved layouts store all bands of a line in one record.
    auto size = isRecordStorage(head->imgid) ? zarn::mulSize(head->block, head->rows)
                                             : zarn::mulSize(head->block, head->rows, head->nbands);
    if (!size || head->offset < 0) return -1;
    auto end = zarn::addSize(head->offset, *size);
    if (!end) return -1;
    // Reserve the blocks now so that a full disk is reported here rather than
    // at the first write-back; the reserved area reads as zeros.
    if (*size > 0) {
        int r = ::posix_fallocate(fd, head->offset, *size);
        if (r != 0 && ::ftruncate(fd, *end) != 0) return -1;
        if (r != 0) {
            // No reservation possible: write the zeros.
            static const unsigned char zeros[8192] = {};
            for (int64_t pos = head->offset; pos < *end; pos += sizeof zeros) {
                size_t n = static_cast<size_t>(std::min<int64_t>(sizeof zeros, *end - pos));
                if (!zarn::writeAt(fd, zeros, n, pos)) return -1;
            }
        }
    }
    return head->offset;
}

int createImage(ImageHead* head) {
    if (!head || !head->file[0]) return -1;
    // Built beside the target and renamed over it at the end, so that a
    // failure never leaves an existing file half-written.
    std::string tmp = std::string(head->file) + ".XXXXXX";
    int fd = ::mkstemp(tmp.data());
    if (fd < 0) {
        zarn::conPrintf(zarn::kStderr, "Error in creating %s: %s\n", head->file, std::strerror(errno));
        return -1;
    }
    ::fchmod(fd, 0600);
    zarn::UniqueFd guard(fd);
    bool ok = initImageHead(fd, 1, head) >= 0 && initImageData(fd, head) >= 0;
    if (ok && ::fsync(fd) != 0 && errno != EINVAL) ok = false;
    guard.reset();
    if (ok && ::rename(tmp.c_str(), head->file) != 0) ok = false;
    if (!ok) {
        ::unlink(tmp.c_str());
        zarn::conPrintf(zarn::kStderr, "Error in creating %s\n", head->file);
        return -1;
    }
    return 0;
}

RAMImage* createRAMImage(const char* name, const ImageHead* head, RAMImage* reuse, int* err) {
    int dummy;
    if (!err) err = &dummy;
    *err = RAMERR_NONE;
    if (!name || tooLong(name)) {
        *err = RAMERR_OPEN;
        return nullptr;
    }
    bool readOnly = false;
    int fd = openFile(name, &readOnly);
    if (fd < 0) {
        *err = RAMERR_OPEN;
        return nullptr;
    }
    auto* fresh = new (std::nothrow) RAMImage;
    if (!fresh) {
        ::close(fd);
        *err = RAMERR_MEMORY;
        return nullptr;
    }
    fresh->fd = fd;
    fresh->readOnly = readOnly;
    ImageHead h;
    if (!head) {
        h = blankImageHead();
        setHeadFile(h, name);
        int code = imgTypes(fd, name, &h, &fresh->privData);
        if (code <= 0) {
            delete fresh;
            *err = code < 0 ? RAMERR_UNHANDLED : RAMERR_TYPE;
            return nullptr;
        }
        if (h.altFd >= 0 && h.altFd != fd) {
            ::close(fd);
            fresh->fd = h.altFd;
        }
        h.altFd = -1;
    } else {
        h = *head;
    }
    setHeadFile(h, name);
    struct stat st;
    if (::fstat(fresh->fd, &st) == 0) {
        fresh->hasIdentity = true;
        fresh->dev = st.st_dev;
        fresh->ino = st.st_ino;
    }
    if (int g = checkImageGeometry(h)) {
        zarn::conPrintf(zarn::kStderr, "Invalid geometry of %s: %d rows, %d columns, %d bands\n", name, h.rows,
                        h.columns, h.nbands);
        delete fresh;
        *err = g;
        return nullptr;
    }
    fresh->head = h;
    fresh->curVolume = 0;
    fresh->volumeCount = -1;
    fresh->delay = 0;
    // TIFF keeps the raw (unsigned 32-bit) strip offset field in the head.
    fresh->dataOffset = h.imgid == IMG_TIFF ? int64_t{static_cast<uint32_t>(h.offset)} : int64_t{h.offset};
    chooseLineProcs(fresh);
    fresh->lineBytes = pixelLineBytes(h.pixel, h.columns);
    // A JPEG keeps its encoding quality in block, not a record length.
    if (h.imgid != IMG_JPEG && fresh->head.block < fresh->lineBytes) {
        const int64_t bits = pixelBits(h.pixel) ? pixelBits(h.pixel) : 8;
        int64_t blk;
        if (h.imgid == IMG_BIP || h.imgid == IMG_TIFF)
            blk = int64_t{h.nbands} * h.columns * bits / 8;
        else if (h.imgid == IMG_DIB)
            blk = (int64_t{h.nbands} * h.columns * bits + 31) / 32 * 4;
        else
            blk = (int64_t{h.columns} * bits + 7) / 8;
        if (!zarn::fitsInt(blk)) {
            delete fresh;
            *err = RAMERR_GEOMETRY;
            return nullptr;
        }
        fresh->head.block = static_cast<int>(blk);
    }
    // Formats decoded whole into the cache must fit it at once; refusing
    // here spares every later line access a decode that cannot succeed.
    if (h.imgid == IMG_GIF87a || h.imgid == IMG_GIF89a || h.imgid == IMG_JPEG || h.imgid == IMG_XBMP) {
        auto whole = zarn::mulSize(fresh->lineBytes, h.rows, h.nbands);
        if (!whole || *whole > cacheByteLimit()) {
            zarn::conPrintf(zarn::kStderr, "Image %s of %d x %d x %d is too large to hold in memory.\n", name,
                            h.columns, h.rows, h.nbands);
            delete fresh;
            *err = RAMERR_MEMORY;
            return nullptr;
        }
    }
    int lines = defaultCacheLines(h.nbands, fresh->lineBytes);
    if (setRAMImageBuf(fresh, lines) < 1) {
        delete fresh;
        *err = RAMERR_MEMORY;
        return nullptr;
    }
    switch (h.imgid) {
    case IMG_TIFF: fresh->seekProc = tiffSeek; break;
    case IMG_GIF87a:
        if (fresh->head.nindices == 0) readGIF(fresh);
        break;
    case IMG_GIF89a:
        fresh->seekProc = gifSeek;
        if (fresh->head.nindices == 0) readGIF(fresh);
        break;
    case IMG_MPEG:
        if (!mpegObjCreate(fresh)) {
            delete fresh;
            *err = RAMERR_OPEN;
            return nullptr;
        }
        break;
    default: break;
    }
    if (!reuse) return fresh;
    retire(reuse);
    commitInto(reuse, fresh);
    return reuse;
}

RAMImage* residentRAMImage(const ImageHead* head, RAMImage* reuse, int* err) {
    int dummy;
    if (!err) err = &dummy;
    *err = RAMERR_NONE;
    if (!head) {
        *err = RAMERR_UNHANDLED;
        return nullptr;
    }
    if (int g = checkImageGeometry(*head)) {
        *err = g;
        return nullptr;
    }
    auto* fresh = new (std::nothrow) RAMImage;
    if (!fresh) {
        *err = RAMERR_MEMORY;
        return nullptr;
    }
    fresh->head = *head;
    fresh->head.altFd = -1;
    fresh->fd = -1;
    chooseLineProcs(fresh);
    fresh->lineBytes = pixelLineBytes(head->pixel, head->columns);
    if (head->imgid == IMG_MBIP && fresh->head.block < fresh->lineBytes * head->nbands)
        fresh->head.block = static_cast<int>(fresh->lineBytes * head->nbands);
    if (setRAMImageBuf(fresh, head->rows) < 1) {
        delete fresh;
        *err = RAMERR_MEMORY;
        return nullptr;
    }
    if (!reuse) return fresh;
    retire(reuse);
    commitInto(reuse, fresh);
    return reuse;
}

RAMImage* updateRAMImage(const char* name, const ImageHead* head, RAMImage* img, int* err) {
    if (!img || !head) return nullptr;
    if (img->fd < 0) return residentRAMImage(head, img, err);
    if (isMemoryImageType(head->imgid)) {
        // A file image given a memory layout leaves its file and becomes a
        // fresh memory image named by its tag.
        ImageHead h = *head;
        setHeadFile(h, img->tag);
        return residentRAMImage(&h, img, err);
    }
    return createRAMImage(name ? name : head->file, head, img, err);
}

RAMImage* openRAMImage(const char* tag, const char* name, const ImageHead* head, RAMImageClient* client,
                       int* err) {
    int dummy;
    if (!err) err = &dummy;
    *err = RAMERR_NONE;
    if (tooLong(name) || tooLong(tag)) {
        *err = RAMERR_OPEN;
        return nullptr;
    }
    RAMImage* img = tag ? getRAMImageByTag(tag) : nullptr;
    if (img && name && std::strncmp(name, img->head.file, kNameMax) != 0) {
        RAMImage* r = createRAMImage(name, nullptr, img, err);
        if (r) return r;
        if (*err == RAMERR_MEMORY) return nullptr;
        img = getRAMImageByTag(name);
        *err = RAMERR_NONE;
    }
    if (head && !name) {
        if (img) {
            if (img->locked() || img->fd >= 0) {
                *err = RAMERR_SYSTEM;
                return nullptr;
            }
            if (!residentRAMImage(head, img, err)) return nullptr;
        } else {
            img = residentRAMImage(head, nullptr, err);
            if (!img) return nullptr;
            linkRAMImage(tag, img);
        }
    }
    if (!img && !head) img = getRAMImageByName(name);
    if (!img) {
        img = createRAMImage(name, head, nullptr, err);
        if (!img) return nullptr;
        linkRAMImage(tag, img);
    }
    ++img->openCount;
    linkRAMImageClient(client, img);
    return img;
}

RAMImage* openRAMImageNew(ImageHead* head, RAMImageClient* client, int overwrite, int* err) {
    int dummy;
    if (!err) err = &dummy;
    *err = RAMERR_NONE;
    if (!head) {
        *err = RAMERR_UNHANDLED;
        return nullptr;
    }
    if (!overwrite && ::access(head->file, F_OK) == 0) {
        *err = RAMERR_EXISTS;
        return nullptr;
    }
    if (createImage(head) < 0) {
        *err = RAMERR_CREATE;
        return nullptr;
    }
    if (head->offset != 0) return openRAMImage(nullptr, head->file, nullptr, client, err);
    return openRAMImage(nullptr, head->file, head, client, err);
}

int updateImageIndices(int fd, ImageHead* head, HandlerData* priv) {
    if (fd < 0 || !head) return 0;
    switch (head->imgid) {
    case IMG_DIB: return updateDIBIndices(fd, head);
    case IMG_TIFF: return updateTiffIndices(fd, head, priv);
    default: return 0;
    }
}
