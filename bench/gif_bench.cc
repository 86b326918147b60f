// Decoding a 512 x 512, 100-frame animation: the package (every frame
// selected in turn through the store, as `rimage volume` does) against
// giflib's DGifSlurp on the same file.  Prints the best and median ratios.
//
// Usage: gif_bench [DIR]   (the file is made in DIR, default /tmp)
#include <gif_lib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "formats/formats.h"

namespace {

constexpr int kSize = 512;
constexpr int kFrames = 100;

// A moving pattern with noise: compresses like a real animation, neither
// trivially nor not at all.
bool makeFile(const std::string& path) {
    int err = 0;
    GifFileType* g = EGifOpenFileName(path.c_str(), false, &err);
    if (!g) return false;
    GifColorType colours[256];
    for (int i = 0; i < 256; ++i) colours[i] = {GifByteType(i), GifByteType(255 - i), GifByteType(i * 7)};
    ColorMapObject* map = GifMakeMapObject(256, colours);
    EGifSetGifVersion(g, true);
    bool ok = EGifPutScreenDesc(g, kSize, kSize, 8, 0, map) == GIF_OK;
    std::mt19937 rnd(7);
    std::vector<GifByteType> line(kSize);
    for (int f = 0; f < kFrames && ok; ++f) {
        GifByteType gce[4] = {GifByteType(f % 2 ? 0x08 : 0x04), 4, 0, 0};
        ok = EGifPutExtension(g, GRAPHICS_EXT_FUNC_CODE, 4, gce) == GIF_OK &&
             EGifPutImageDesc(g, 0, 0, kSize, kSize, f % 5 == 0, nullptr) == GIF_OK;
        // Interlaced frames take their rows pass by pass; the content does
        // not depend on the order, so rows are written as generated.
        for (int y = 0; y < kSize && ok; ++y) {
            for (int x = 0; x < kSize; ++x) {
                int v = ((x + 3 * f) / 16 + (y + f) / 16) * 9 + (rnd() % 8 == 0 ? rnd() % 32 : 0);
                line[x] = GifByteType(v & 0xff);
            }
            ok = EGifPutLine(g, line.data(), kSize) == GIF_OK;
        }
    }
    GifFreeMapObject(map);
    return EGifCloseFile(g, &err) == GIF_OK && ok;
}

double seconds(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

double runPeer(const std::string& path) {
    auto t0 = std::chrono::steady_clock::now();
    int err = 0;
    GifFileType* g = DGifOpenFileName(path.c_str(), &err);
    if (!g || DGifSlurp(g) != GIF_OK || g->ImageCount != kFrames) {
        std::fprintf(stderr, "gif_bench: DGifSlurp failed\n");
        std::exit(1);
    }
    DGifCloseFile(g, &err);
    return seconds(t0);
}

double runOurs(const std::string& path, unsigned* checksum) {
    auto t0 = std::chrono::steady_clock::now();
    int err = 0;
    RAMImage* img = openRAMImage(nullptr, path.c_str(), nullptr, nullptr, &err);
    int frames = 0;
    while (img && getRAMImageVolume(img, 0) > 0) ++frames;
    double t = seconds(t0);
    if (!img || frames != kFrames) {
        std::fprintf(stderr, "gif_bench: decoded %d frames, expected %d\n", frames, kFrames);
        std::exit(1);
    }
    *checksum = getRAMImageLine(img, kSize / 2, 0, 1)[kSize / 3];
    closeRAMImage(img, nullptr);
    return t;
}

}  // namespace

int main(int argc, char** argv) {
    std::string dir = argc > 1 ? argv[1] : "/tmp";
    std::string path = dir + "/gif_bench_" + std::to_string(::getpid()) + ".gif";
    if (!makeFile(path)) {
        std::fprintf(stderr, "gif_bench: cannot write %s\n", path.c_str());
        return 1;
    }
    std::vector<double> ratios;
    double bestOurs = 1e9, bestPeer = 1e9;
    unsigned sum = 0;
    for (int rep = 0; rep < 7; ++rep) {
        double p = runPeer(path);
        double o = runOurs(path, &sum);
        bestPeer = std::min(bestPeer, p);
        bestOurs = std::min(bestOurs, o);
        ratios.push_back(o / p);
    }
    ::unlink(path.c_str());
    std::sort(ratios.begin(), ratios.end());
    std::printf("gif: decode %dx%d x %d frames via volume selection / giflib DGifSlurp: best %.2f, median %.2f "
                "(target <= 1.50)\n",
                kSize, kSize, kFrames, bestOurs / bestPeer, ratios[ratios.size() / 2]);
    return 0;
}
