// Line access of the packed display images: the packed rows live in the
// cache's extra area; colour bands are unpacked into three slots per band.
#include <algorithm>
#include <cstring>

#include "ramimage/ramimage.h"

namespace {

unsigned char* packedRow(RAMImage* img, int line) {
    return img->extraArea() + int64_t{line} * img->head.block;
}

uint16_t load16(const unsigned char* p) {
    uint16_t v;
    std::memcpy(&v, p, 2);
    return v;
}
void store16(unsigned char* p, uint16_t v) { std::memcpy(p, &v, 2); }

void unpack(const RAMImage* img, const unsigned char* row, int band, unsigned char* dst) {
    const int cols = img->head.columns;
    switch (img->head.imgid) {
    case IMG_MRGB32:
        for (int x = 0; x < cols; ++x) dst[x] = row[4 * x + band];
        break;
    case IMG_MRGB24:
        for (int x = 0; x < cols; ++x) dst[x] = row[3 * x + band];
        break;
    case IMG_MRGB565:
        for (int x = 0; x < cols; ++x) {
            uint16_t p = load16(row + 2 * x);
            dst[x] = static_cast<unsigned char>(band == 0   ? (p & 0xF800) >> 8
                                                : band == 1 ? (p & 0x07E0) >> 3
                                                            : (p & 0x001F) << 3);
        }
        break;
    case IMG_MRGB555:
        for (int x = 0; x < cols; ++x) {
            uint16_t p = load16(row + 2 * x);
            dst[x] = static_cast<unsigned char>(band == 0   ? (p & 0x7C00) >> 7
                                                : band == 1 ? (p & 0x03E0) >> 2
                                                            : (p & 0x001F) << 3);
        }
        break;
    default: break;
    }
}

void pack(const RAMImage* img, unsigned char* row, int band, const unsigned char* src) {
    const int cols = img->head.columns;
    switch (img->head.imgid) {
    case IMG_MRGB32:
        for (int x = 0; x < cols; ++x) row[4 * x + band] = src[x];
        break;
    case IMG_MRGB24:
        for (int x = 0; x < cols; ++x) row[3 * x + band] = src[x];
        break;
    case IMG_MRGB565:
        for (int x = 0; x < cols; ++x) {
            uint16_t p = load16(row + 2 * x);
            unsigned v = src[x];
            if (band == 0)
                p = static_cast<uint16_t>((p & 0x07FF) | ((v & 0xF8) << 8));
            else if (band == 1)
                p = static_cast<uint16_t>((p & 0xF81F) | ((v & 0xFC) << 3));
            else
                p = static_cast<uint16_t>((p & 0xFFE0) | (v >> 3));
            store16(row + 2 * x, p);
        }
        break;
    case IMG_MRGB555:
        for (int x = 0; x < cols; ++x) {
            uint16_t p = load16(row + 2 * x);
            unsigned v = src[x];
            if (band == 0)
                p = static_cast<uint16_t>((p & 0x03FF) | ((v & 0xF8) << 7));
            else if (band == 1)
                p = static_cast<uint16_t>((p & 0xFC1F) | ((v & 0xF8) << 2));
            else
                p = static_cast<uint16_t>((p & 0xFFE0) | (v >> 3));
            store16(row + 2 * x, p);
        }
        break;
    default: break;
    }
}

// Bytes of a packed row the unpacking above touches for `band`.
bool rowFits(const RAMImage* img, int band) {
    int64_t need;
    switch (img->head.imgid) {
    case IMG_MRGB32: need = 4 * int64_t{img->head.columns}; break;
    case IMG_MRGB24: need = 3 * int64_t{img->head.columns}; break;
    case IMG_MRGB565:
    case IMG_MRGB555: need = 2 * int64_t{img->head.columns}; break;
    default: return true;
    }
    return band >= 0 && band < 4 && need <= img->head.block && img->lineBytes >= img->head.columns;
}

}  // namespace

unsigned char* getRGBRimgLine(RAMImage* img, int line, int band, int mode) {
    const ImageHead& h = img->head;
    if (!lineInRange(img, line, band) || !img->buffer.data() || !rowFits(img, band)) {
        img->scratch.assign(static_cast<size_t>(std::max<int64_t>({img->lineBytes, int64_t{h.block}, int64_t{1}})), 0);
        return img->scratch.data();
    }
    if (h.imgid == IMG_MRGB8 || h.imgid == IMG_MRGB4 || h.imgid == IMG_MRGB1) return packedRow(img, line);
    const int64_t idx = int64_t{line} * h.nbands + band;
    const int64_t slot = img->slotOf(idx);
    unsigned char* p = img->slotPtr(slot);
    if (img->slotLine[slot] == idx) return p;
    if (img->dirtyBits[slot]) flushRGBRimgLine(img, slot);
    img->slotLine[slot] = idx;
    if (mode != 0) unpack(img, packedRow(img, line), band, p);
    return p;
}

bool flushRGBRimgLine(RAMImage* img, int64_t slot) {
    if (slot < 0 || slot >= img->slotCount) return true;
    int64_t idx = img->slotLine[slot];
    if (idx >= 0 && img->head.imgid != IMG_MRGB8 && img->head.imgid != IMG_MRGB4 &&
        img->head.imgid != IMG_MRGB1) {
        int line = static_cast<int>(idx / img->head.nbands);
        int band = static_cast<int>(idx % img->head.nbands);
        if (line < img->head.rows && rowFits(img, band)) pack(img, packedRow(img, line), band, img->slotPtr(slot));
    }
    img->dirtyBits[slot] = 0;
    return true;
}
