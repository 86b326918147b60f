// Line reading of a 1 GiB ERDAS 7.4 file through the store, against plain
// read() of the same bytes.  The file is written with real data in a
// temporary directory (a sparse file would flatter read()), read once to
// settle the page cache, then each reader runs in turn several times; the
// best run of each is compared.  Prints ratios only.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "formats/formats.h"
#include "ramimage/convert.h"
#include "ramimage/fileio.h"
#include "ramimage/ramimage.h"

namespace {

constexpr int kBands = 4;
constexpr int kColumns = 8192;
constexpr int kPixel = PIX_USHORT;                         // 2 bytes a sample
constexpr int kRows = (1 << 30) / (kBands * kColumns * 2);  // 1 GiB of samples
constexpr int64_t kLineBytes = int64_t{kColumns} * 2;

double seconds(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

bool makeFile(const std::string& path) {
    ImageHead h = blankImageHead();
    setHeadFile(h, path.c_str());
    h.imgid = IMG_E74, h.pixel = kPixel, h.nbands = kBands, h.rows = kRows, h.columns = kColumns;
    zarn::UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600));
    if (!fd || initErdasHead(fd.get(), 1, &h) != 128) return false;
    std::vector<uint16_t> chunk(size_t(1) << 22);  // 8 MiB
    uint32_t x = 12345;
    for (int64_t at = 128, end = 128 + int64_t{kRows} * kBands * kLineBytes; at < end;) {
        for (auto& v : chunk) v = static_cast<uint16_t>((x = x * 1664525u + 1013904223u) >> 16);
        size_t n = static_cast<size_t>(std::min<int64_t>(end - at, int64_t(chunk.size()) * 2));
        if (!zarn::writeAt(fd.get(), chunk.data(), n, at)) return false;
        at += static_cast<int64_t>(n);
    }
    return true;
}

// Plain read() of the data, `piece` bytes a call; returns a checksum.
uint64_t readPlain(const std::string& path, size_t piece) {
    zarn::UniqueFd fd(::open(path.c_str(), O_RDONLY));
    std::vector<unsigned char> buf(piece);
    uint64_t sum = 0;
    ::lseek(fd.get(), 128, SEEK_SET);
    ssize_t n;
    while ((n = ::read(fd.get(), buf.data(), piece)) > 0) sum += buf[0] + buf[size_t(n) - 1];
    return sum;
}

// Every band-line through the store's line procedure.
uint64_t readStore(const std::string& path) {
    int err = 0;
    RAMImage* img = openRAMImage(nullptr, path.c_str(), nullptr, nullptr, &err);
    if (!img) {
        std::printf("erdas_bench: open failed: %s\n", ramimgError(err));
        std::exit(1);
    }
    uint64_t sum = 0;
    for (int y = 0; y < kRows; ++y)
        for (int b = 0; b < kBands; ++b) {
            const unsigned char* p = getRAMImageLine(img, y, b, 1);
            sum += p[0] + p[kLineBytes - 1];
        }
    closeRAMImage(img, nullptr);
    return sum;
}

// Every band-line converted to floats.
uint64_t readFloats(const std::string& path) {
    int err = 0;
    RAMImage* img = openRAMImage(nullptr, path.c_str(), nullptr, nullptr, &err);
    if (!img) std::exit(1);
    std::vector<float> line(kColumns);
    uint64_t sum = 0;
    for (int y = 0; y < kRows; ++y)
        for (int b = 0; b < kBands; ++b) {
            getFloatBILData(img, y, 0, kColumns, b, line.data());
            sum += static_cast<uint64_t>(line[0] + line[kColumns - 1]);
        }
    closeRAMImage(img, nullptr);
    return sum;
}

}  // namespace

int main(int argc, char** argv) {
    int repeats = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    namespace fs = std::filesystem;
    std::string dirTemplate = (fs::temp_directory_path() / "erdas_bench.XXXXXX").string();
    if (!::mkdtemp(dirTemplate.data())) {
        std::printf("erdas_bench: no temporary directory\n");
        return 1;
    }
    const std::string path = dirTemplate + "/big.lan";
    if (!makeFile(path)) {
        std::printf("erdas_bench: cannot write the 1 GiB test file\n");
        fs::remove_all(dirTemplate);
        return 1;
    }
    readPlain(path, 1 << 20);  // settle the page cache

    double best[4] = {1e30, 1e30, 1e30, 1e30};
    uint64_t sums[4] = {};
    for (int r = 0; r < repeats; ++r) {
        auto t0 = std::chrono::steady_clock::now();
        sums[0] = readPlain(path, static_cast<size_t>(kLineBytes));
        best[0] = std::min(best[0], seconds(t0));
        t0 = std::chrono::steady_clock::now();
        sums[1] = readPlain(path, 1 << 20);
        best[1] = std::min(best[1], seconds(t0));
        t0 = std::chrono::steady_clock::now();
        sums[2] = readStore(path);
        best[2] = std::min(best[2], seconds(t0));
        t0 = std::chrono::steady_clock::now();
        sums[3] = readFloats(path);
        best[3] = std::min(best[3], seconds(t0));
    }
    fs::remove_all(dirTemplate);
    if (sums[0] == 0 || sums[2] == 0 || sums[3] == 0) std::printf("(checksums: %llu %llu)\n",
                                                                  (unsigned long long)sums[0], (unsigned long long)sums[2]);
    std::printf("erdas 1 GiB E74 USHORT %dx%dx%d, best of %d:\n", kColumns, kRows, kBands, repeats);
    std::printf("  getRAMImageLine / read() of one band-line (%lld bytes) a call: %.2f (target <= 1.2)\n",
                (long long)kLineBytes, best[2] / best[0]);
    std::printf("  getRAMImageLine / read() of 1 MiB a call:                    %.2f\n", best[2] / best[1]);
    std::printf("  getFloatBILData / read() of one band-line a call:            %.2f\n", best[3] / best[0]);
    return 0;
}
