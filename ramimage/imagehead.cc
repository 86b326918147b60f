#include "ramimage/imagehead.h"

#include <cstdio>
#include <cstring>
#include <string>

const char* const STRINGPIXELID[PIX_COUNT] = {"UNKNOWN", "1BIT",  "4BITS", "BYTE",  "SHORT",
                                              "LONG",    "FLOAT", "USHORT", "ULONG", "SBYTE"};

namespace {

constexpr int kPixelBits[PIX_COUNT] = {0, 1, 4, 8, 16, 32, 32, 16, 32, 8};

const char* const kImgNames[IMG_COUNT] = {
    "UNKNOWN", "BSQ",    "BIL",    "BIP",  "E73",    "E74",     "ELAS",    "DIB",   "XBMP",
    "TIFF",    "GIF87a", "GIF89a", "FFT",  "PPM",    "JPEG",    "E74BSQ",  "MBSQ",  "MBIL",
    "MBIP",    "MPEG",   "MRGB32", "MRGB24", "MRGB565", "MRGB555", "MRGB8", "MRGB4", "MRGB1"};

// "UTM1" .. "UTM59" are built once; the table owns its strings.
struct MapNames {
    std::string names[MAP_COUNT];
    MapNames() {
        names[0] = "UNKNOWN";
        names[1] = "GRID";
        names[2] = "UTM";
        for (int z = 1; z <= 59; ++z) names[z + 2] = "UTM" + std::to_string(z);
        names[62] = "POLAR";
        names[63] = "DICOM";
    }
};
const MapNames& mapNames() {
    static const MapNames m;
    return m;
}

}  // namespace

bool setHeadFile(ImageHead& head, const char* name) {
    if (!name) return false;
    size_t n = std::strlen(name);
    if (n >= static_cast<size_t>(kNameMax)) return false;
    std::memcpy(head.file, name, n + 1);
    return true;
}

ImageHead blankImageHead() {
    ImageHead h;
    std::memset(&h, 0, sizeof h);
    h.transparent = -1;
    h.altFd = -1;
    h.dx = h.dy = 1.0;
    return h;
}

int pixelBits(int pixel) {
    return (pixel >= 0 && pixel < PIX_COUNT) ? kPixelBits[pixel] : 0;
}

int64_t pixelLineBytes(int pixel, int64_t columns) {
    if (columns < 1) return -1;
    switch (pixel) {
    case PIX_1BIT: return (columns + 7) / 8;
    case PIX_4BITS: return (columns + 1) / 2;
    case PIX_SHORT:
    case PIX_USHORT: return columns * 2;
    case PIX_LONG:
    case PIX_FLOAT:
    case PIX_ULONG: return columns * 4;
    default: return columns;
    }
}

int isMemoryImageType(int imgid) {
    return (imgid >= IMG_MBSQ && imgid <= IMG_MBIP) || (imgid >= IMG_MRGB32 && imgid <= IMG_MRGB1);
}

bool isRGBImageType(int imgid) { return imgid >= IMG_MRGB32 && imgid <= IMG_MRGB1; }

int parsePixelID(const char* name) {
    if (!name) return -1;
    for (int i = 1; i < PIX_COUNT; ++i)
        if (std::strcmp(name, STRINGPIXELID[i]) == 0) return i;
    return -1;
}

int parseImgID(const char* name) {
    if (!name) return -1;
    for (int i = 0; i < IMG_COUNT; ++i)
        if (std::strcmp(name, kImgNames[i]) == 0) return i;
    return -1;
}

int parseMapID(const char* name) {
    if (!name) return -1;
    const MapNames& m = mapNames();
    for (int i = 1; i < MAP_COUNT; ++i)
        if (m.names[i] == name) return i;
    return -1;
}

const char* strPixelID(int code) {
    return (code >= 0 && code < PIX_COUNT) ? STRINGPIXELID[code] : STRINGPIXELID[0];
}

const char* strImgID(int code) { return (code >= 0 && code < IMG_COUNT) ? kImgNames[code] : kImgNames[0]; }

const char* strMapID(int code) {
    const MapNames& m = mapNames();
    return (code >= 0 && code < MAP_COUNT) ? m.names[code].c_str() : m.names[0].c_str();
}
