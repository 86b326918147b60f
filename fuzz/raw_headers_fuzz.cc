// Arbitrary bytes as a raw, ERDAS, ELAS or FFT file: the recognisers, the
// ERDAS and FFT helpers of the applications, and, when a recogniser accepts
// the file, a few lines read through the store.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "formats/erdas.h"
#include "formats/fft.h"
#include "formats/formats.h"
#include "ramimage/convert.h"
#include "ramimage/fileio.h"
#include "ramimage/ramimage.h"

namespace {

void readSomeLines(const char* path) {
    int err = 0;
    RAMImage* img = openRAMImage(nullptr, path, nullptr, nullptr, &err);
    if (!img) return;
    const ImageHead& h = img->head;
    std::vector<float> line(static_cast<size_t>(std::min(h.columns, 4096)));
    for (int y : {0, h.rows / 2, h.rows - 1})
        for (int b = 0; b < std::min(h.nbands, 4); ++b)
            getFloatBILData(img, y, 0, static_cast<int>(line.size()), b, line.data());
    closeRAMImage(img, nullptr);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool once = [] {
        setCacheByteLimit(64 << 20);
        return true;
    }();
    (void)once;
    int fd = ::memfd_create("raw_headers_fuzz", 0);
    if (fd < 0) return 0;
    zarn::UniqueFd owned(fd);
    if (size && !zarn::writeAt(fd, data, size, 0)) return 0;
    const std::string path = "/proc/self/fd/" + std::to_string(fd);

    const RecogniseProc procs[] = {imgBASIC, imgErdas, imgElas, imgFFT};
    bool accepted = false;
    for (RecogniseProc p : procs) {
        ImageHead h = blankImageHead();
        HandlerPtr priv;
        if (p(fd, path.c_str(), &h, &priv) > 0) accepted = true;
    }
    if (accepted) readSomeLines(path.c_str());

    ErdasHead e;
    int efd = OpenOLDERDAS(path.c_str(), &e);
    if (efd >= 0) {
        zarn::UniqueFd eo(efd);
        int64_t len = erdasLineBytes(&e);
        if (len > 0 && len <= (1 << 20)) {
            std::vector<unsigned char> line(static_cast<size_t>(len));
            GetErdasLine(&e, efd, 0, 0, line.data());
            GetErdasLine(&e, efd, e.nbands - 1, e.rows - 1, line.data());
        }
    }

    FFTHead f;
    int ffd = OpenOLDFFTFile(path.c_str(), &f);
    if (ffd >= 0) {
        zarn::UniqueFd fo(ffd);
        if (f.columns <= (1 << 16)) {
            std::vector<float> row(2 * static_cast<size_t>(f.columns));
            GetFFTFileBlock(&f, ffd, row.data(), f.rows - 1, 1);
        }
        if (f.rows <= (1 << 16)) {
            std::vector<float> col(2 * static_cast<size_t>(f.rows));
            GetFFTFileSeg(&f, ffd, col.data(), f.columns - 1, 1);
        }
        HistRecord hist[2];
        getFFTHist(ffd, hist);
    }
    return 0;
}
