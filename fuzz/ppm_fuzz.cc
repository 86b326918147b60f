// PPM/PGM recognition on arbitrary bytes, then every line read through the
// store and one line written back.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>

#include "formats/formats.h"
#include "ramimage/fileio.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool once = [] {
        setCacheByteLimit(int64_t(64) << 20);
        return true;
    }();
    (void)once;
    zarn::UniqueFd fd(::memfd_create("ppm_fuzz", 0));
    if (!fd || !zarn::writeAt(fd.get(), data, size, 0)) return 0;

    ImageHead head = blankImageHead();
    if (imgPPM(fd.get(), "input.ppm", &head, nullptr) <= 0) return 0;

    char name[64];
    std::snprintf(name, sizeof name, "/proc/self/fd/%d", fd.get());
    int err = 0;
    RAMImage* img = createRAMImage(name, &head, nullptr, &err);
    if (!img) return 0;
    for (int y = 0; y < img->head.rows; ++y)
        for (int b = 0; b < img->head.nbands; ++b) getRAMImageLine(img, y, b, 1);
    unsigned char* line = getRAMImageLine(img, img->head.rows - 1, 0, 1);
    if (line) {
        line[0] ^= 1;
        updateRAMImageLine(img, img->head.rows - 1, 0, 1, 0);
        flushRAMImage(img);
    }
    destroyRAMImage(img);
    return 0;
}
