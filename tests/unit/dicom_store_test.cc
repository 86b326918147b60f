// DICOM images opened through the store: every band-line of every frame as
// the store pages it, against the pixel data dcmdump +W wrote.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>

#include "formats/dicom.h"
#include "ramimage/convert.h"
#include "ramimage/ramimage.h"
#include "support.h"

namespace {

std::string scratchCopy(const std::string& name) {
    std::string dst = testsupport::scratchDir() + "/" + name;
    std::filesystem::copy_file(testsupport::fixtureDir() + "/dicom/" + name, dst);
    return dst;
}

// The oracle's file for the top-level Pixel Data of a fixture.
std::vector<unsigned char> oraclePixels(const std::string& name) {
    std::ifstream in(testsupport::fixtureDir() + "/dicom/" + name.substr(0, name.size() - 4) + ".txt");
    std::string line, raw;
    while (std::getline(in, line)) {
        if (line.rfind("(7fe0,0010) ", 0) != 0) continue;
        size_t eq = line.find('='), end = line.find(' ', eq);
        raw = line.substr(eq + 1, end - eq - 1);
    }
    return testsupport::readFile(testsupport::fixtureDir() + "/dicom/" + raw);
}

struct Closer {
    RAMImage* img;
    ~Closer() {
        if (img) closeRAMImage(img, nullptr);
    }
};

TEST(DicomStore, EveryBandLineOfEveryFrameMatchesTheOracle) {
    for (const char* name : {"s16_ul.dcm", "s16_meta.dcm", "frames8.dcm", "rgb_ti.dcm", "rgb_meta.dcm", "u32.dcm"}) {
        SCOPED_TRACE(name);
        int err = 0;
        RAMImage* img = openRAMImage(nullptr, scratchCopy(name).c_str(), nullptr, nullptr, &err);
        ASSERT_NE(img, nullptr) << ramimgError(err);
        Closer closer{img};
        const ImageHead& h = img->head;
        EXPECT_EQ(h.mapid, MAP_DICOM);
        ASSERT_NE(dynamic_cast<DicomTable*>(img->privData.get()), nullptr);
        auto raw = oraclePixels(name);
        const int bytes = pixelBits(h.pixel) / 8;
        const int frames = std::max(h.nvolumes, 1);
        for (int f = 1; f <= frames; ++f) {
            if (h.nvolumes > 1) {
                ASSERT_EQ(getRAMImageVolume(img, f), f);
            }
            for (int line = 0; line < h.rows; ++line) {
                for (int b = 0; b < h.nbands; ++b) {
                    const unsigned char* got = img->getLineProc(img, line, b, 1);
                    ASSERT_NE(got, nullptr);
                    for (int x = 0; x < h.columns; ++x) {
                        size_t at = ((size_t(f - 1) * h.rows + line) * h.columns + x) * h.nbands + b;
                        ASSERT_EQ(std::memcmp(got + size_t(x) * bytes, raw.data() + at * bytes, bytes), 0)
                            << "frame " << f << " line " << line << " band " << b << " x " << x;
                    }
                }
            }
        }
    }
}

TEST(DicomStore, SignedAndNibbleSamplesConvert) {
    int err = 0;
    RAMImage* img = openRAMImage(nullptr, scratchCopy("s16_el.dcm").c_str(), nullptr, nullptr, &err);
    ASSERT_NE(img, nullptr);
    Closer c1{img};
    float v[12];
    getFloatBILData(img, 0, 0, 12, 0, v);
    EXPECT_EQ(v[0], -30000.0f);  // 0 * 1111 - 30000, as the generator wrote it
    EXPECT_EQ(v[11], 11 * 1111 - 30000.0f);

    RAMImage* nib = openRAMImage(nullptr, scratchCopy("nib4.dcm").c_str(), nullptr, nullptr, &err);
    ASSERT_NE(nib, nullptr);
    Closer c2{nib};
    float n[6];
    getFloatBILData(nib, 1, 0, 6, 0, n);
    // Bytes 0x87 0xa9 0xcb: the first pixel of each pair in the low nibble.
    const float want[6] = {7, 8, 9, 10, 11, 12};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(n[i], want[i]) << i;
}

}  // namespace
