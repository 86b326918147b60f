// XBM recognition and parsing on arbitrary bytes through the store, then an
// edit flushed back as text and the rewritten file parsed again.
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
    zarn::UniqueFd fd(::memfd_create("xbm_fuzz", 0));
    if (!fd || !zarn::writeAt(fd.get(), data, size, 0)) return 0;

    ImageHead head = blankImageHead();
    if (imgXBMP(fd.get(), "input.xbm", &head, nullptr) <= 0) return 0;

    char name[64];
    std::snprintf(name, sizeof name, "/proc/self/fd/%d", fd.get());
    int err = 0;
    RAMImage* img = createRAMImage(name, &head, nullptr, &err);
    if (!img) return 0;
    const int last = img->head.rows - 1;
    unsigned char* line = getRAMImageLine(img, last, 0, 1);
    if (line) {
        line[0] ^= 0x81;
        updateRAMImageLine(img, last, 0, 1, 0);
        flushRAMImage(img);
        inValidateRAMImage(img);
        getRAMImageLine(img, 0, 0, 1);
    }
    destroyRAMImage(img);
    return 0;
}
