// GIF recognition and frame decoding on arbitrary bytes: frames forward,
// back to the first (a rewind), a volume picked by the input, to the end,
// and line reads in between.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>

#include "formats/formats.h"
#include "ramimage/fileio.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool once = [] {
        setCacheByteLimit(int64_t(4) << 20);
        return true;
    }();
    (void)once;
    zarn::UniqueFd fd(::memfd_create("gif_fuzz", 0));
    if (!fd || !zarn::writeAt(fd.get(), data, size, 0)) return 0;

    ImageHead head = blankImageHead();
    HandlerPtr priv;
    if (imgGif(fd.get(), "input.gif", &head, &priv) <= 0) return 0;

    char name[64];
    std::snprintf(name, sizeof name, "/proc/self/fd/%d", fd.get());
    int err = 0;
    RAMImage* img = createRAMImage(name, &head, nullptr, &err);
    if (!img) return 0;
    const int pick = size ? data[size - 1] % 12 : 0;
    const int rows = img->head.rows;
    auto touch = [&] {
        if (rows > 0) {
            getRAMImageLine(img, 0, 0, 1);
            getRAMImageLine(img, rows - 1, 0, 1);
        }
    };
    touch();
    if (img->seekProc) {
        for (int i = 0; i < 3; ++i) gifSeek(img, 0);
        touch();
        gifSeek(img, 1);
        gifSeek(img, pick);
        inValidateRAMImage(img);
        touch();
        gifSeek(img, -1);
        gifSeek(img, 0);
        touch();
    }
    destroyRAMImage(img);
    return 0;
}
