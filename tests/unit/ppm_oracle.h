// Reading the netpbm and libjpeg tools' decodes (PBM, PGM, PPM) in the
// picture-format tests, and small helpers to open images through the store.
#pragma once
#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <string>
#include <vector>

#include "ramimage/convert.h"
#include "ramimage/ramimage.h"
#include "support.h"

namespace oracle {

// A decoded picture: `channels` samples a pixel (1 or 3), 8 bits each.
struct Pnm {
    int width = 0, height = 0, channels = 0;
    std::vector<unsigned char> data;
    unsigned char at(int x, int y, int c) const {
        return data[(static_cast<size_t>(y) * width + x) * channels + (channels == 1 ? 0 : c)];
    }
};

// Parses raw P4, P5 and P6 (maximum 255 or below); width 0 on failure.
// Bits of P4 become 0 (black) and 255 (white) in a one-channel picture.
inline Pnm parsePnm(const std::vector<unsigned char>& f) {
    Pnm p;
    size_t i = 0;
    auto skip = [&] {
        while (i < f.size() && (std::isspace(f[i]) || f[i] == '#')) {
            if (f[i] == '#')
                while (i < f.size() && f[i] != '\n') ++i;
            else
                ++i;
        }
    };
    auto number = [&] {
        skip();
        int v = 0;
        while (i < f.size() && std::isdigit(f[i])) v = v * 10 + (f[i++] - '0');
        return v;
    };
    if (f.size() < 2 || f[0] != 'P') return p;
    char kind = static_cast<char>(f[1]);
    i = 2;
    int w = number(), h = number();
    int maxval = kind == '4' ? 1 : number();
    ++i;  // the single whitespace byte before the samples
    if (maxval < 1 || maxval > 255 || w < 1 || h < 1) return p;
    p.width = w;
    p.height = h;
    p.channels = kind == '6' ? 3 : 1;
    size_t n = static_cast<size_t>(w) * h * p.channels;
    p.data.assign(n, 0);
    if (kind == '4') {
        size_t stride = (static_cast<size_t>(w) + 7) / 8;
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                size_t at = i + y * stride + x / 8;
                bool black = at < f.size() && (f[at] >> (7 - x % 8)) & 1;
                p.data[static_cast<size_t>(y) * w + x] = black ? 0 : 255;
            }
        return p;
    }
    if (kind != '5' && kind != '6') return Pnm{};
    for (size_t k = 0; k < n && i + k < f.size(); ++k) p.data[k] = f[i + k];
    return p;
}

inline Pnm readPnm(const std::string& path) { return parsePnm(testsupport::readFile(path)); }

inline std::string fixture(const std::string& name) { return testsupport::fixtureDir() + "/pictures/" + name; }

// Copies a fixture into the test's scratch directory (the store opens files
// read-write) and returns the copy's path.
inline std::string scratchCopy(const std::string& name) {
    std::string dst = testsupport::scratchDir() + "/" + name;
    testsupport::writeFile(dst, testsupport::readFile(fixture(name)));
    return dst;
}

// Opens a file through the store; null (with a test failure) when it cannot.
inline RAMImage* openImage(const std::string& path) {
    int err = 0;
    RAMImage* img = openRAMImage(nullptr, path.c_str(), nullptr, nullptr, &err);
    EXPECT_NE(img, nullptr) << path << ": " << ramimgError(err) << " " << testsupport::takeOutput();
    return img;
}

// The colour of pixel (x, y) as the image shows it: through the colour
// table for a colour-index image, band values otherwise (grey repeated).
// A 24-bit DIB keeps its file order, blue in band 0 (`bgr`).
inline void pixelColour(RAMImage* img, int x, int y, unsigned char rgb[3], bool bgr = false) {
    const ImageHead& h = img->head;
    if (h.nindices > 0) {
        unsigned char index = 0;
        getByteBILData(img, y, x, 1, 0, &index);
        for (int c = 0; c < 3; ++c) rgb[c] = h.colorTable[index][c];
        return;
    }
    for (int c = 0; c < 3; ++c) getByteBILData(img, y, x, 1, h.nbands == 1 ? 0 : bgr ? 2 - c : c, &rgb[c]);
}

// Number of pixels whose colour differs from the oracle's.
inline int countColourMismatches(RAMImage* img, const Pnm& want, bool bgr = false) {
    if (img->head.columns != want.width || img->head.rows != want.height) return -1;
    int bad = 0;
    for (int y = 0; y < want.height; ++y)
        for (int x = 0; x < want.width; ++x) {
            unsigned char rgb[3];
            pixelColour(img, x, y, rgb, bgr);
            for (int c = 0; c < 3; ++c)
                if (rgb[c] != want.at(x, y, c)) {
                    ++bad;
                    break;
                }
        }
    return bad;
}

}  // namespace oracle
