// Store benchmarks, timed against numpy doing the same work in the same run
// (bench/store_peer.py prints the peer's seconds):
//   read:  every band-line of a file-backed 4-band USHORT BIL image as floats
//   hist:  histograms of a resident 8192 x 8192 BYTE image
//   put:   float lines stored into BYTE and SHORT lines
// Prints one ratio per case (ours / numpy; lower is better) and its target.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "ramimage/convert.h"
#include "ramimage/hist.h"
#include "ramimage/ramimage.h"

namespace {

using Clock = std::chrono::steady_clock;

template <typename F>
double best(int reps, F f) {
    double b = 1e30;
    for (int i = 0; i < reps; ++i) {
        auto t0 = Clock::now();
        f();
        b = std::min(b, std::chrono::duration<double>(Clock::now() - t0).count());
    }
    return b;
}

double peer(const std::string& script, const std::string& args) {
    std::string cmd = "/usr/bin/python3 " + script + " " + args;
    FILE* p = ::popen(cmd.c_str(), "r");
    if (!p) return -1;
    double t = -1;
    if (std::fscanf(p, "%lf", &t) != 1) t = -1;
    ::pclose(p);
    return t;
}

ImageHead head(const char* file, int imgid, int pixel, int rows, int cols, int bands) {
    ImageHead h = blankImageHead();
    setHeadFile(h, file);
    h.imgid = imgid;
    h.pixel = pixel;
    h.bits = pixelBits(pixel);
    h.rows = rows;
    h.columns = cols;
    h.nbands = bands;
    h.block = static_cast<int>(pixelLineBytes(pixel, cols));
    return h;
}

void report(const char* name, double ours, double theirs, double target) {
    if (theirs <= 0) {
        std::printf("%-44s peer failed\n", name);
        return;
    }
    double r = ours / theirs;
    std::printf("%-44s %6.2f x numpy   (target <= %.1f) %s\n", name, r, target, r <= target ? "ok" : "MISSED");
}

}  // namespace

int main(int argc, char** argv) {
    std::string dir = argc > 1 ? argv[1] : "/tmp";
    std::string peerScript = argc > 2 ? argv[2] : "bench/store_peer.py";
    const int n = 8192;

    // read: a 512 MiB file of random USHORT samples, 4 bands interleaved by line.
    std::string file = dir + "/store_bench_bil.raw";
    {
        std::vector<uint16_t> line(static_cast<size_t>(n) * 4);
        std::mt19937 rng(1);
        FILE* f = std::fopen(file.c_str(), "wb");
        if (!f) return 1;
        for (int l = 0; l < n; ++l) {
            for (auto& v : line) v = static_cast<uint16_t>(rng());
            std::fwrite(line.data(), 2, line.size(), f);
        }
        std::fclose(f);
    }
    ImageHead h = head(file.c_str(), IMG_BIL, PIX_USHORT, n, n, 4);
    int err;
    RAMImage* img = openRAMImage(nullptr, file.c_str(), &h, nullptr, &err);
    if (!img) return 1;
    std::vector<float> out(n);
    double sink = 0;
    auto readAll = [&] {
        for (int l = 0; l < n; ++l)
            for (int b = 0; b < 4; ++b) {
                getFloatBILData(img, l, 0, n, b, out.data());
                sink += out[l & 1023];
            }
    };
    readAll();  // warm the page cache as numpy's run will find it
    double ours = best(3, readAll);
    closeRAMImage(img, nullptr);
    report("getFloatBILData, 4-band USHORT BIL file", ours, peer(peerScript, "read " + file), 1.5);
    ::unlink(file.c_str());

    // hist: a resident BYTE image of random values.
    ImageHead m = head("hist", IMG_MBIL, PIX_BYTE, n, n, 1);
    RAMImage* mem = openRAMImage("hist", nullptr, &m, nullptr, &err);
    std::string bytesFile = dir + "/store_bench_bytes.raw";
    {
        std::vector<unsigned char> row(n);
        std::mt19937 rng(2);
        FILE* f = std::fopen(bytesFile.c_str(), "wb");
        for (int l = 0; l < n; ++l) {
            for (auto& v : row) v = static_cast<unsigned char>(rng() % 200 + (l & 31));
            putByteBILData(mem, l, 0, n, 0, row.data());
            std::fwrite(row.data(), 1, n, f);
        }
        std::fclose(f);
    }
    ours = best(3, [&] { ramImageHist(mem, 2, 1, 1); });
    report("rimage hist, resident 8192 x 8192 BYTE", ours, peer(peerScript, "hist " + bytesFile), 0.5);
    ::unlink(bytesFile.c_str());
    closeRAMImage(mem, nullptr);

    // put: float lines into BYTE and SHORT lines of resident images.
    std::vector<float> src(static_cast<size_t>(n) * 64);
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> dist(-400.0f, 70000.0f);
    for (auto& v : src) v = dist(rng);
    for (int pixel : {PIX_BYTE, PIX_SHORT}) {
        ImageHead p = head("put", IMG_MBIL, pixel, n, n, 1);
        RAMImage* dst = openRAMImage("put", nullptr, &p, nullptr, &err);
        ours = best(3, [&] {
            for (int l = 0; l < n; ++l) putFloatBILData(dst, l, 0, n, 0, src.data() + (l & 63) * n);
        });
        closeRAMImage(dst, nullptr);
        std::string what = pixel == PIX_BYTE ? "putFloatBILData into BYTE" : "putFloatBILData into SHORT";
        report(what.c_str(), ours, peer(peerScript, pixel == PIX_BYTE ? "put8" : "put16"), 1.0);
    }
    if (sink == 12345.678) std::printf("\n");
    return 0;
}
