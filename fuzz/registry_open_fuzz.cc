// Any bytes opened as a file through the format registry, as `rimage open`
// does, then every band-line of every volume read through the store, and a
// line written back through the handler.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>

#include "formats/formats.h"
#include "ramimage/fileio.h"

namespace {

// Enough lines to cover any image a small input can describe honestly.
constexpr int64_t kMostLines = int64_t{1} << 20;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool once = [] {
        setCacheByteLimit(int64_t(64) << 20);
        return true;
    }();
    (void)once;
    zarn::UniqueFd fd(::memfd_create("registry_open_fuzz", 0));
    if (!fd || !zarn::writeAt(fd.get(), data, size, 0)) return 0;
    char name[64];
    std::snprintf(name, sizeof name, "/proc/self/fd/%d", fd.get());
    int err = 0;
    RAMImage* img = openRAMImage(nullptr, name, nullptr, nullptr, &err);
    if (!img) return 0;
    int volumes = img->head.nvolumes > 1 ? img->head.nvolumes : 1;
    int64_t budget = kMostLines;
    for (int v = 1; v <= volumes && budget > 0; ++v) {
        if (volumes > 1 && getRAMImageVolume(img, v) < 0) break;
        for (int y = 0; y < img->head.rows && budget > 0; ++y)
            for (int b = 0; b < img->head.nbands && budget > 0; ++b, --budget) img->getLineProc(img, y, b, 1);
    }
    unsigned char* line = img->getLineProc(img, 0, 0, 1);
    if (line && img->lineBytes > 0) {
        line[0] ^= 1;
        updateRAMImageLine(img, 0, 0, 1, 0);
        flushRAMImage(img);
    }
    closeRAMImage(img, nullptr);
    return 0;
}
