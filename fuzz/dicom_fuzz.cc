// Arbitrary bytes as a DICOM file: the element table, the text of every
// element and nested record as the dicom command prints it, and, when the
// recogniser accepts the file, the first and last lines of the first and
// last frames read through the store.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>

#include "formats/dicom.h"
#include "formats/formats.h"
#include "ramimage/fileio.h"

namespace {

const DicomDictionary& fuzzDictionary() {
    static const DicomDictionary d = [] {
        DicomDictionary dict;
        const char* entries[][6] = {{"0008", "0005", "CS", "1", "1", "Specific Character Set"},
                                    {"0010", "0010", "PN", "1", "1", "Patient's Name"},
                                    {"0028", "0010", "US", "1", "1", "Rows"},
                                    {"0028", "0030", "DS", "2", "2", "Pixel Spacing"},
                                    {"0020", "0013", "IS", "1", "1", "Instance Number"},
                                    {"0008", "1140", "SQ", "1", "1", "Referenced Image Sequence"},
                                    {"0008", "0020", "DA", "1", "1", "Study Date"}};
        for (auto& e : entries) dict.add({e[0], e[1], e[2], e[3], e[4], e[5]});
        return dict;
    }();
    return d;
}

size_t printAll(const DicomTable& t) {
    size_t n = 0;
    for (uint32_t key : t.sortedKeys()) {
        const DicomElement* e = getDicomEntry(t, key >> 16, key & 0xFFFF);
        n += dicomPrint(*e, &fuzzDictionary()).value.size();
        n += dicomPrint(*e, nullptr).value.size();
        for (const DicomElement& c : e->chain) n += dicomPrint(c, &fuzzDictionary()).value.size();
    }
    return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool once = [] {
        setCacheByteLimit(int64_t(16) << 20);
        return true;
    }();
    (void)once;
    zarn::UniqueFd fd(::memfd_create("dicom_fuzz", 0));
    if (!fd || !zarn::writeAt(fd.get(), data, size, 0)) return 0;

    int64_t offset = 0;
    if (auto t = getDicomHashTable(fd.get(), &offset)) {
        volatile size_t sink = printAll(*t);
        (void)sink;
    }

    ImageHead head = blankImageHead();
    HandlerPtr priv;
    if (imgDicom(fd.get(), "input.dcm", &head, &priv) <= 0) return 0;
    char name[64];
    std::snprintf(name, sizeof name, "/proc/self/fd/%d", fd.get());
    int err = 0;
    RAMImage* img = createRAMImage(name, &head, nullptr, &err);
    if (!img) return 0;
    img->privData = std::move(priv);
    const int rows = img->head.rows;
    for (int volume : {1, img->head.nvolumes}) {
        if (img->head.nvolumes > 1) getRAMImageVolume(img, volume);
        for (int band = 0; band < img->head.nbands; ++band) {
            getRAMImageLine(img, 0, band, 1);
            getRAMImageLine(img, rows - 1, band, 1);
        }
    }
    destroyRAMImage(img);
    return 0;
}
