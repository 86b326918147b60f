// JPEG recognition and decoding on arbitrary bytes through the store, and
// the decoded picture encoded again into a scratch descriptor.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>

#include "formats/formats.h"
#include "formats/jpeg_codec.h"
#include "ramimage/fileio.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool once = [] {
        setCacheByteLimit(int64_t(64) << 20);
        return true;
    }();
    (void)once;
    zarn::UniqueFd fd(::memfd_create("jpeg_fuzz", 0));
    if (!fd || !zarn::writeAt(fd.get(), data, size, 0)) return 0;

    ImageHead head = blankImageHead();
    if (imgJPEG(fd.get(), "input.jpg", &head, nullptr) <= 0) return 0;

    char name[64];
    std::snprintf(name, sizeof name, "/proc/self/fd/%d", fd.get());
    int err = 0;
    RAMImage* img = createRAMImage(name, &head, nullptr, &err);
    if (!img) return 0;
    getRAMImageLine(img, img->head.rows - 1, img->head.nbands - 1, 1);
    // Re-encoding small pictures exercises the encoder on decoded data.
    if (int64_t{img->head.rows} * img->head.columns <= 65536) {
        zarn::UniqueFd out(::memfd_create("jpeg_fuzz_out", 0));
        if (out)
            dumpJPEG(out.get(), img->head.columns, img->head.rows, img->head.nbands, size % 101, img->slotPtr(0),
                     img->lineBytes);
    }
    destroyRAMImage(img);
    return 0;
}
