// The DICOM reader against files made by dcmtk: every pixel against the
// bytes dcmdump +W wrote, every element against dcmdump's listing, and the
// malformed and refused cases.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "formats/dicom.h"
#include "formats/formats.h"
#include "ramimage/fileio.h"
#include "support.h"

namespace {

std::string fixture(const std::string& name) { return testsupport::fixtureDir() + "/dicom/" + name; }

struct Opened {
    int rc = 0;
    ImageHead head = blankImageHead();
    HandlerPtr priv;
    std::string printed;
};

Opened recognise(const std::string& path) {
    Opened o;
    zarn::UniqueFd fd(::open(path.c_str(), O_RDONLY));
    EXPECT_TRUE(fd) << path;
    testsupport::takeOutput();
    o.rc = imgDicom(fd.get(), path.c_str(), &o.head, &o.priv);
    o.printed = testsupport::takeOutput();
    return o;
}

std::vector<unsigned char> bytesAt(const std::string& path, int64_t offset, int64_t n) {
    std::vector<unsigned char> all = testsupport::readFile(path);
    if (offset < 0 || offset + n > static_cast<int64_t>(all.size())) return {};
    return std::vector<unsigned char>(all.begin() + offset, all.begin() + offset + n);
}

// One element line of dcmdump: nesting depth, group, element, VR, shown value.
struct DumpLine {
    int depth;
    unsigned group, element;
    std::string vr, value;
};

std::vector<DumpLine> dcmdumpListing(const std::string& name) {
    std::ifstream in(fixture(name.substr(0, name.size() - 4) + ".txt"));
    std::vector<DumpLine> out;
    std::string line;
    bool inData = false;
    while (std::getline(in, line)) {
        if (line.rfind("# Dicom-", 0) == 0) inData = true;
        size_t lead = line.find_first_not_of(' ');
        size_t hash = line.rfind(" #");
        if (!inData || lead == std::string::npos || hash == std::string::npos || line.size() < lead + 15 ||
            line[lead] != '(' || line[lead + 5] != ',' || line[lead + 10] != ')')
            continue;
        if (line.find("for re-encod") != std::string::npos) continue;  // not in the file
        std::string value = line.substr(lead + 15, hash - (lead + 15));
        value.erase(value.find_last_not_of(' ') + 1);
        out.push_back({static_cast<int>(lead / 2), static_cast<unsigned>(std::stoul(line.substr(lead + 1, 4), nullptr, 16)),
                       static_cast<unsigned>(std::stoul(line.substr(lead + 6, 4), nullptr, 16)),
                       line.substr(lead + 12, 2), value});
    }
    return out;
}

// Pixel bytes the store will page, against the oracle's decode (the file
// dcmdump named for the top-level Pixel Data).
void expectPixelsMatch(const std::string& name, const Opened& o) {
    int64_t frames = std::max(o.head.nvolumes, 1);
    int64_t n = int64_t(o.head.block) * o.head.rows * frames * (o.head.imgid == IMG_BSQ ? o.head.nbands : 1);
    auto ours = bytesAt(fixture(name), o.head.offset, n);
    std::string rawName;
    for (const DumpLine& l : dcmdumpListing(name))
        if (l.depth == 0 && l.group == 0x7FE0 && l.element == 0x10) rawName = l.value.substr(1);
    auto oracle = testsupport::readFile(fixture(rawName));
    ASSERT_EQ(ours.size(), static_cast<size_t>(n)) << name;
    ASSERT_GE(oracle.size(), ours.size()) << name;
    oracle.resize(ours.size());  // dcmdump keeps the pad byte of an odd length
    EXPECT_EQ(ours, oracle) << name;
}

// Top-level elements are keys of the table, nested ones follow in the chain
// of the record before them; text and US values read as dcmdump shows them.
void expectListingMatches(const std::string& name, const DicomTable& t) {
    auto lines = dcmdumpListing(name);
    ASSERT_FALSE(lines.empty()) << name;
    std::vector<uint32_t> keys;
    const DicomElement* owner = nullptr;
    size_t chainPos = 0;
    for (const DumpLine& l : lines) {
        const DicomElement* e = nullptr;
        if (l.depth == 0 && l.group != 0xFFFE) {
            keys.push_back(dicomKey(l.group, l.element));
            owner = e = getDicomEntry(t, l.group, l.element);
            ASSERT_NE(e, nullptr) << name << " " << std::hex << l.group << "," << l.element;
            chainPos = 0;
        } else {
            ASSERT_NE(owner, nullptr);
            ASSERT_LT(chainPos, owner->chain.size()) << name;
            e = &owner->chain[chainPos++];
            EXPECT_EQ(e->group, l.group) << name;
            EXPECT_EQ(e->element, l.element) << name;
        }
        if (l.value.size() >= 2 && l.value.front() == '[' && l.value.back() == ']') {
            std::string v = l.value.substr(1, l.value.size() - 2);
            while (!v.empty() && v.front() == ' ') v.erase(0, 1);
            EXPECT_EQ(dicomValueText(dicomID(l.vr.c_str()), *e), v) << name;
        } else if (l.vr == "US" && l.value.find('\\') == std::string::npos) {
            EXPECT_EQ(dicomValueText(dicomID("US"), *e), l.value) << name;
        }
    }
    std::sort(keys.begin(), keys.end());
    keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
    EXPECT_EQ(t.sortedKeys(), keys) << name;
}

TEST(DicomReader, OracleFilesOpenWithTheirGeometryAndPixels) {
    struct Case {
        const char* name;
        int pixel, rows, columns, nbands, nvolumes, imgid;
    } cases[] = {
        {"s16_ul.dcm", PIX_SHORT, 5, 12, 1, 0, IMG_BIP},     {"s16_el.dcm", PIX_SHORT, 5, 12, 1, 0, IMG_BIP},
        {"s16_meta.dcm", PIX_SHORT, 5, 12, 1, 0, IMG_BIP},   {"s16_te.dcm", PIX_SHORT, 5, 12, 1, 0, IMG_BIP},
        {"s16_te_meta.dcm", PIX_SHORT, 5, 12, 1, 0, IMG_BIP}, {"frames8.dcm", PIX_BYTE, 7, 9, 1, 3, IMG_BIP},
        {"u32.dcm", PIX_ULONG, 3, 4, 1, 0, IMG_BIP},          {"nib4.dcm", PIX_4BITS, 2, 6, 1, 0, IMG_BIP},
        {"rgb_meta.dcm", PIX_BYTE, 6, 8, 3, 0, IMG_BIP},      {"rgb_ti.dcm", PIX_BYTE, 6, 8, 3, 0, IMG_BIP},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Opened o = recognise(fixture(c.name));
        ASSERT_EQ(o.rc, IMG_BIP) << o.printed;
        EXPECT_EQ(o.printed, "");
        EXPECT_EQ(o.head.imgid, c.imgid);
        EXPECT_EQ(o.head.mapid, MAP_DICOM);
        EXPECT_EQ(o.head.pixel, c.pixel);
        EXPECT_EQ(o.head.rows, c.rows);
        EXPECT_EQ(o.head.columns, c.columns);
        EXPECT_EQ(o.head.nbands, c.nbands);
        EXPECT_EQ(o.head.nvolumes, c.nvolumes);
        EXPECT_EQ(o.head.bits, pixelBits(c.pixel));
        EXPECT_EQ(o.head.block, c.columns * c.nbands * pixelBits(c.pixel) / 8);
        EXPECT_EQ(o.head.msbf, 0);
        EXPECT_EQ(o.head.altFd, -1);
        EXPECT_EQ(o.head.transparent, -1);
        ASSERT_NE(dynamic_cast<DicomTable*>(o.priv.get()), nullptr);
        expectPixelsMatch(c.name, o);
        expectListingMatches(c.name, *dynamic_cast<DicomTable*>(o.priv.get()));
    }
}

TEST(DicomReader, PixelSpacingGivesRowSpacingAsDy) {
    Opened o = recognise(fixture("s16_el.dcm"));
    ASSERT_GT(o.rc, 0);
    EXPECT_DOUBLE_EQ(o.head.dy, 0.5);
    EXPECT_DOUBLE_EQ(o.head.dx, 0.25);
    Opened f = recognise(fixture("frames8.dcm"));
    EXPECT_DOUBLE_EQ(f.head.dx, 1.0);
    EXPECT_DOUBLE_EQ(f.head.dy, 1.0);
}

// Sequences of either length encoding end where they end: the elements after
// them are in the table, the nested icon's Rows and Pixel Data are not, and a
// value longer than 65535 bytes is stepped over whole.
TEST(DicomReader, NestingAndLongValues) {
    for (const char* name : {"s16_ul.dcm", "s16_el.dcm", "s16_te.dcm"}) {
        SCOPED_TRACE(name);
        zarn::UniqueFd fd(::open(fixture(name).c_str(), O_RDONLY));
        int64_t offset = 0;
        auto t = getDicomHashTable(fd.get(), &offset);
        ASSERT_TRUE(t);
        EXPECT_GT(offset, 70000);
        const DicomElement* big = getDicomEntry(*t, 0x0009, 0x1010);
        ASSERT_NE(big, nullptr);
        EXPECT_EQ(big->length, 70000u);
        EXPECT_EQ(big->value.size(), 70000u);
        EXPECT_EQ(static_cast<unsigned char>(big->value[65537]), 65537 & 0xFF);
        EXPECT_EQ(dicomValueText(dicomID("US"), *getDicomEntry(*t, 0x0028, 0x0010)), "5");
        const DicomElement* seq = getDicomEntry(*t, 0x0008, 0x1140);
        ASSERT_NE(seq, nullptr);
        EXPECT_NE(getDicomEntry(*t, 0x0010, 0x0010), nullptr);
        EXPECT_EQ(getDicomEntry(*t, 0x0008, 0x1155), nullptr);
        const DicomElement* icon = getDicomEntry(*t, 0x0088, 0x0200);
        ASSERT_NE(icon, nullptr);
        bool nestedPixels = false;
        for (const auto& e : icon->chain) nestedPixels |= e.key() == 0x7FE00010u && e.value.size() == 8;
        EXPECT_TRUE(nestedPixels);
    }
}

TEST(DicomReader, RefusedFilesSayWhy) {
    struct Case {
        const char* name;
        const char* message;
    } cases[] = {
        {"bits12.dcm", "Unable to read DICOM image with 12 bits allocated.\n"},
        {"compcode.dcm", "Unable to read compressed DICOM image.\n"},
        {"jpeg.dcm", "Unable to read compressed DICOM image.\n"},
        {"s16_be.dcm", "Unable to read big-endian DICOM image.\n"},
    };
    for (const Case& c : cases) {
        Opened o = recognise(fixture(c.name));
        EXPECT_EQ(o.rc, -1) << c.name;
        EXPECT_EQ(o.printed, c.message) << c.name;
        EXPECT_FALSE(o.priv) << c.name;
    }
    // The encapsulated set still lists (the inspection command reads it).
    zarn::UniqueFd fd(::open(fixture("jpeg.dcm").c_str(), O_RDONLY));
    int64_t offset;
    auto t = getDicomHashTable(fd.get(), &offset);
    ASSERT_TRUE(t);
    EXPECT_TRUE(t->compressed);
    EXPECT_EQ(getDicomEntry(*t, 0x7FE0, 0x0010)->length, kDicomUndefinedLength);
}

// ---- hand-made data sets --------------------------------------------------------

struct SetBuilder {
    std::vector<unsigned char> bytes;
    SetBuilder& el(unsigned g, unsigned e, uint32_t len, const std::string& value = "") {
        unsigned char h[8] = {static_cast<unsigned char>(g), static_cast<unsigned char>(g >> 8),
                              static_cast<unsigned char>(e), static_cast<unsigned char>(e >> 8),
                              static_cast<unsigned char>(len), static_cast<unsigned char>(len >> 8),
                              static_cast<unsigned char>(len >> 16), static_cast<unsigned char>(len >> 24)};
        bytes.insert(bytes.end(), h, h + 8);
        bytes.insert(bytes.end(), value.begin(), value.end());
        return *this;
    }
    SetBuilder& us(unsigned g, unsigned e, unsigned v) { return el(g, e, 2, std::string{char(v & 0xFF), char(v >> 8)}); }
    std::string write() const {
        std::string p = testsupport::scratchDir() + "/set.dcm";
        testsupport::writeFile(p, bytes);
        return p;
    }
};

SetBuilder smallImage(int rows, int cols, const std::string& frames = "") {
    SetBuilder b;
    b.el(0x0008, 0x0005, 10, "ISO_IR 100");
    if (!frames.empty()) b.el(0x0028, 0x0008, static_cast<uint32_t>(frames.size()), frames);
    b.us(0x0028, 0x0010, rows).us(0x0028, 0x0011, cols).us(0x0028, 0x0100, 8);
    return b;
}

TEST(DicomReader, SmallBareSetIsAcceptedAndGroupTwoIsNot) {
    SetBuilder b = smallImage(2, 2);
    b.el(0x7FE0, 0x0010, 4, "abcd");
    ASSERT_LT(b.bytes.size(), 132u);
    Opened o = recognise(b.write());
    EXPECT_EQ(o.rc, IMG_BIP);
    EXPECT_EQ(o.head.offset, static_cast<int>(b.bytes.size()) - 4);

    SetBuilder meta;
    meta.el(0x0002, 0x0010, 18, "1.2.840.10008.1.2").el(0x0008, 0x0005, 0);
    EXPECT_EQ(recognise(meta.write()).rc, 0);
}

TEST(DicomReader, HostileLengthsStopAtTheEndOfTheFile) {
    // An undefined length that never closes, a value that runs past the end.
    SetBuilder b;
    b.el(0x0008, 0x0005, 0).el(0x0008, 0x1140, kDicomUndefinedLength).el(0xFFFE, 0xE000, kDicomUndefinedLength);
    b.el(0x0010, 0x0010, 4, "Doe^").el(0x0010, 0x0020, 0x7FFFFFF0u, "xy");
    zarn::UniqueFd fd(::open(b.write().c_str(), O_RDONLY));
    int64_t offset = 0;
    auto t = getDicomHashTable(fd.get(), &offset);
    ASSERT_TRUE(t);
    EXPECT_EQ(offset, -1);
    const DicomElement* seq = getDicomEntry(*t, 0x0008, 0x1140);
    ASSERT_NE(seq, nullptr);
    EXPECT_EQ(seq->value.size(), 0u);
    ASSERT_EQ(seq->chain.size(), 2u);  // the item and the name; the runaway value is dropped
    EXPECT_EQ(seq->chain[1].value, "Doe^");
    EXPECT_EQ(getDicomEntry(*t, 0x0010, 0x0020), nullptr);
}

TEST(DicomReader, FramesBeyondThePixelDataAreRefused) {
    SetBuilder b = smallImage(2, 2, "3 ");
    b.el(0x7FE0, 0x0010, 8, "abcdefgh");
    Opened o = recognise(b.write());
    EXPECT_EQ(o.rc, -1);
    EXPECT_EQ(o.printed, "DICOM pixel data is shorter than its image.\n");
    SetBuilder ok = smallImage(2, 2, "2 ");
    ok.el(0x7FE0, 0x0010, 8, "abcdefgh");
    Opened o2 = recognise(ok.write());
    EXPECT_EQ(o2.rc, IMG_BIP);
    EXPECT_EQ(o2.head.nvolumes, 2);
}

// Colour stored plane by plane pages as band-sequential; with frames it
// cannot, and is refused.
TEST(DicomReader, ColourByPlane) {
    SetBuilder b = smallImage(2, 3);
    b.us(0x0028, 0x0002, 3).us(0x0028, 0x0006, 1);
    b.el(0x7FE0, 0x0010, 18, std::string(18, 'p'));
    Opened o = recognise(b.write());
    ASSERT_EQ(o.rc, IMG_BSQ);
    EXPECT_EQ(o.head.nbands, 3);
    EXPECT_EQ(o.head.block, 3);
    SetBuilder f = smallImage(2, 3, "2");
    f.us(0x0028, 0x0002, 3).us(0x0028, 0x0006, 1);
    f.el(0x7FE0, 0x0010, 36, std::string(36, 'p'));
    EXPECT_EQ(recognise(f.write()).rc, -1);
}

TEST(DicomReader, RepeatedKeyReplacesTheEarlierRecord) {
    DicomTable t;
    auto a = std::make_unique<DicomElement>();
    a->group = 0x10;
    a->element = 0x10;
    a->value = "first";
    EXPECT_TRUE(putToDicomHashTable(t, std::move(a)));
    auto b = std::make_unique<DicomElement>();
    b->group = 0x10;
    b->element = 0x10;
    b->value = "second";
    EXPECT_FALSE(putToDicomHashTable(t, std::move(b)));
    EXPECT_EQ(getDicomEntry(t, 0x10, 0x10)->value, "second");
    EXPECT_EQ(t.size(), 1u);
}

}  // namespace
