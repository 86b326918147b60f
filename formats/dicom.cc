// DICOM reader: builds the element table of a data set and recognises the
// uncompressed images the store can page as pixel-interleaved records.
//
// Accepted: a bare data set that starts with group 0x0008, or a file with the
// 128-byte preamble and "DICM" (with or without its group 0x0002 meta
// information).  Data sets in implicit or explicit VR little endian are read;
// big endian and deflated ones are refused with a message.
#include <algorithm>
#include <charconv>
#include <cstring>
#include <strings.h>

#include "formats/dicom.h"
#include "formats/formats.h"
#include "init/output.h"
#include "ramimage/byteorder.h"
#include "ramimage/fileio.h"

namespace {

constexpr uint32_t kPixelDataKey = 0x7FE00010u;
constexpr uint16_t kDelimGroup = 0xFFFE;
constexpr uint16_t kItem = 0xE000;
constexpr uint16_t kItemDelim = 0xE00D;
constexpr uint16_t kSeqDelim = 0xE0DD;
constexpr int kVRCodeSQ = 18;
constexpr int kVRCodeUN = 24;

// Values longer than this keep only their first bytes (the length field still
// tells the whole); the command shows such values by their VR name anyway.
constexpr size_t kMaxValueKept = size_t(1) << 20;
// All kept values together, and the number of records, are bounded so that a
// large hostile file cannot make the table outgrow the file many times over.
constexpr int64_t kMaxKeptTotal = int64_t(64) << 20;
constexpr size_t kMaxRecords = 2'000'000;

constexpr size_t kWindow = 64 * 1024;

const char* const kCompressedMsg = "Unable to read compressed DICOM image.\n";

// Reads through a window so that a set of many small elements costs few
// system calls.
class WindowReader {
public:
    WindowReader(int fd, int64_t size) : fd_(fd), size_(size), buf_(kWindow) {}
    int64_t size() const { return size_; }

    // Pointer to n bytes at pos (n at most the window), or null when they are
    // not all in the file.  Valid until the next call.
    const unsigned char* peek(int64_t pos, size_t n) {
        if (pos < 0 || n > kWindow || pos > size_ || static_cast<int64_t>(n) > size_ - pos) return nullptr;
        if (pos < start_ || pos + static_cast<int64_t>(n) > start_ + len_) {
            int64_t want = std::min<int64_t>(static_cast<int64_t>(kWindow), size_ - pos);
            int64_t got = zarn::readAt(fd_, buf_.data(), static_cast<size_t>(want), pos);
            start_ = pos;
            len_ = got < 0 ? 0 : got;
            if (len_ < static_cast<int64_t>(n)) return nullptr;
        }
        return buf_.data() + (pos - start_);
    }

    bool read(int64_t pos, void* dst, size_t n) {
        if (n <= kWindow) {
            const unsigned char* p = peek(pos, n);
            if (!p) return false;
            std::memcpy(dst, p, n);
            return true;
        }
        if (pos < 0 || static_cast<int64_t>(n) > size_ - pos) return false;
        return zarn::readAt(fd_, dst, n, pos) == static_cast<int64_t>(n);
    }

private:
    int fd_;
    int64_t size_;
    std::vector<unsigned char> buf_;
    int64_t start_ = 0;
    int64_t len_ = 0;
};

// VR of two characters: its code (kDicomVROther when not one of the 27), and
// whether explicit VR encodes it with the long (12-byte) header.
struct VRInfo {
    bool known = false;
    int code = 0;
    bool longForm = false;
};

VRInfo explicitVR(unsigned char c0, unsigned char c1) {
    VRInfo v;
    if (c0 < 'A' || c0 > 'Z' || c1 < 'A' || c1 > 'Z') return v;
    const char name[3] = {static_cast<char>(c0), static_cast<char>(c1), 0};
    static const char* const kLong[] = {"OB", "OD", "OF", "OL", "OV", "OW", "SQ", "SV", "UC", "UN", "UR", "UT", "UV"};
    static const char* const kOther[] = {"OD", "OF", "OL", "OV", "SV", "UC", "UR", "UV"};
    for (const char* l : kLong)
        if (std::strcmp(name, l) == 0) v.longForm = true;
    int code = dicomID(name);
    if (code == 0 && std::strcmp(name, "RT") != 0) {
        bool other = false;
        for (const char* o : kOther)
            if (std::strcmp(name, o) == 0) other = true;
        if (!other) return v;
        code = kDicomVROther;
    }
    v.known = true;
    v.code = code;
    return v;
}

struct Header {
    uint16_t group = 0, element = 0;
    uint32_t length = 0;
    int vr = 0;
    int size = 8;
    uint32_t key() const { return dicomKey(group, element); }
};

bool readHeader(WindowReader& r, int64_t pos, bool explicitEnc, Header& h) {
    const unsigned char* p = r.peek(pos, 8);
    if (!p) return false;
    h.group = loadLE16(p);
    h.element = loadLE16(p + 2);
    h.vr = 0;
    h.size = 8;
    VRInfo v;
    if (explicitEnc && h.group != kDelimGroup) v = explicitVR(p[4], p[5]);
    if (!v.known) {
        // Implicit VR (and the delimiters, which never carry a VR).
        h.length = loadLE32(p + 4);
        return true;
    }
    h.vr = v.code;
    if (!v.longForm) {
        h.length = loadLE16(p + 6);
        return true;
    }
    p = r.peek(pos, 12);
    if (!p) return false;
    h.length = loadLE32(p + 8);
    h.size = 12;
    return true;
}

// True when the two characters at p name a VR, which tells an explicit VR
// data set from an implicit one whose length would have to be above 16 KiB.
bool looksExplicit(const unsigned char* p) { return explicitVR(p[4], p[5]).known; }

// An open sequence or item.
struct Frame {
    int64_t end;      // first byte after it, -1 for an undefined length
    bool item;
    bool explicitEnc;  // encoding of what it holds
    bool fragments;    // items of encapsulated pixel data: their values are bytes
};

std::string textOf(const DicomElement& e) {
    std::string_view v(e.value);
    size_t nul = v.find('\0');
    if (nul != std::string_view::npos) v = v.substr(0, nul);
    while (!v.empty() && (v.front() == ' ')) v.remove_prefix(1);
    while (!v.empty() && (v.back() == ' ')) v.remove_suffix(1);
    return std::string(v);
}

class Parser {
public:
    Parser(int fd, int64_t size) : r_(fd, size) {}

    DicomParse run(DicomTable& t, std::string* why);

private:
    bool decideDataSetEncoding(DicomTable& t, int64_t pos, std::string* why, DicomParse* fail);
    void keep(std::unique_ptr<DicomElement> rec, bool nested, DicomTable& t);
    bool readValue(DicomElement& rec, int64_t pos, uint32_t len);
    bool implicitSequence(int64_t valuePos, uint32_t len);
    void popTo(bool item);

    WindowReader r_;
    std::vector<Frame> stack_;
    DicomElement* owner_ = nullptr;
    int64_t kept_ = 0;
    size_t records_ = 0;
    bool explicit_ = false;
};

bool Parser::readValue(DicomElement& rec, int64_t pos, uint32_t len) {
    size_t want = std::min<size_t>(len, kMaxValueKept);
    if (kept_ + static_cast<int64_t>(want) > kMaxKeptTotal) want = 0;
    if (want == 0) return true;
    rec.value.resize(want);
    if (!r_.read(pos, rec.value.data(), want)) return false;
    kept_ += static_cast<int64_t>(want);
    return true;
}

// Implicit VR names no sequence: a defined-length value is one when it opens
// with an item that fits inside it.
bool Parser::implicitSequence(int64_t valuePos, uint32_t len) {
    if (len < 8) return false;
    const unsigned char* p = r_.peek(valuePos, 8);
    if (!p || loadLE16(p) != kDelimGroup || loadLE16(p + 2) != kItem) return false;
    uint32_t itemLen = loadLE32(p + 4);
    return itemLen == kDicomUndefinedLength || itemLen <= len - 8;
}

// Closes the innermost open item (or sequence) and whatever defined-length
// frames were left open inside it; a stray delimiter closes nothing.
void Parser::popTo(bool item) {
    for (size_t i = stack_.size(); i-- > 0;) {
        if (stack_[i].item == item) {
            stack_.resize(i);
            return;
        }
    }
}

void Parser::keep(std::unique_ptr<DicomElement> rec, bool nested, DicomTable& t) {
    if (nested) {
        if (owner_) owner_->chain.push_back(std::move(*rec));
        return;
    }
    DicomElement* p = rec.get();
    putToDicomHashTable(t, std::move(rec));
    owner_ = p;
}

bool Parser::decideDataSetEncoding(DicomTable& t, int64_t pos, std::string* why, DicomParse* fail) {
    const DicomElement* ts = getDicomEntry(t, 0x0002, 0x0010);
    if (!ts) {
        const unsigned char* p = r_.peek(pos, 8);
        explicit_ = p && looksExplicit(p);
        return true;
    }
    std::string uid = textOf(*ts);
    if (uid == "1.2.840.10008.1.2") {
        explicit_ = false;
    } else if (uid == "1.2.840.10008.1.2.1") {
        explicit_ = true;
    } else if (uid == "1.2.840.10008.1.2.2") {
        if (why) *why = "Unable to read big-endian DICOM image.\n";
        *fail = DicomParse::Unsupported;
        return false;
    } else if (uid == "1.2.840.10008.1.2.1.99") {
        if (why) *why = kCompressedMsg;
        *fail = DicomParse::Unsupported;
        return false;
    } else {
        // The compressed transfer syntaxes keep an explicit little-endian
        // data set around encapsulated pixel data.
        const unsigned char* p = r_.peek(pos, 8);
        explicit_ = p && looksExplicit(p);
        t.compressed = uid.rfind("1.2.840.10008.1.2.", 0) == 0;
    }
    return true;
}

DicomParse Parser::run(DicomTable& t, std::string* why) {
    const int64_t size = r_.size();
    int64_t pos = 0;
    bool magic = false;
    if (size >= 132) {
        const unsigned char* p = r_.peek(128, 4);
        if (p && std::memcmp(p, "DICM", 4) == 0) {
            magic = true;
            pos = 132;
        }
    }
    const unsigned char* first = r_.peek(pos, 8);
    if (!first) return DicomParse::NotDicom;
    uint16_t firstGroup = loadLE16(first);
    if (!magic && firstGroup != 0x0008) return DicomParse::NotDicom;
    // The meta information is explicit VR little endian by rule; some writers
    // put it implicitly, which the two VR characters tell.
    bool inMeta = magic && firstGroup == 0x0002;
    explicit_ = looksExplicit(first);

    while (pos < size) {
        while (!stack_.empty() && stack_.back().end >= 0 && pos >= stack_.back().end) stack_.pop_back();
        if (inMeta && stack_.empty()) {
            const unsigned char* p = r_.peek(pos, 2);
            if (!p) break;
            if (loadLE16(p) != 0x0002) {
                inMeta = false;
                DicomParse fail = DicomParse::NotDicom;
                if (!decideDataSetEncoding(t, pos, why, &fail)) return fail;
            }
        }
        const bool enc = stack_.empty() ? explicit_ : stack_.back().explicitEnc;
        Header h;
        if (!readHeader(r_, pos, enc, h)) break;
        if (++records_ > kMaxRecords) break;
        const int64_t valuePos = pos + h.size;
        const bool nested = !stack_.empty() || h.group == kDelimGroup;
        auto rec = std::make_unique<DicomElement>();
        rec->group = h.group;
        rec->element = h.element;
        rec->length = h.length;
        rec->vr = h.vr;
        int64_t next = valuePos;
        const bool undefined = h.length == kDicomUndefinedLength;

        if (h.group == kDelimGroup && h.element == kItem) {
            if (!stack_.empty() && stack_.back().fragments) {
                if (undefined) break;
                if (h.length > size - valuePos) break;
                if (!readValue(*rec, valuePos, h.length)) break;
                next = valuePos + h.length;
            } else {
                int64_t end = undefined ? -1 : valuePos + h.length;
                stack_.push_back({end, true, enc, false});
            }
        } else if (h.group == kDelimGroup && h.element == kItemDelim) {
            popTo(true);
        } else if (h.group == kDelimGroup && h.element == kSeqDelim) {
            popTo(false);
        } else if (!nested && h.key() == kPixelDataKey) {
            t.pixelOffset = valuePos;
            t.pixelLength = h.length;
            if (undefined) t.compressed = true;
            keep(std::move(rec), false, t);
            break;
        } else if (undefined) {
            // Only sequences (and encapsulated pixel data, and UN values that
            // hold a sequence in implicit VR) have an undefined length.
            bool contentsExplicit = enc && h.vr != kVRCodeUN;
            stack_.push_back({-1, false, contentsExplicit, h.key() == kPixelDataKey});
        } else if (h.length > size - valuePos) {
            break;  // the value runs past the end of the file
        } else if ((enc && h.vr == kVRCodeSQ) || (h.vr == 0 && implicitSequence(valuePos, h.length))) {
            stack_.push_back({valuePos + h.length, false, enc, false});
        } else {
            if (!readValue(*rec, valuePos, h.length)) break;
            next = valuePos + h.length;
        }
        keep(std::move(rec), nested, t);
        pos = next;
    }
    return t.size() ? DicomParse::Ok : DicomParse::NotDicom;
}

uint32_t usValue(const DicomTable& t, unsigned group, unsigned element, bool* present) {
    const DicomElement* e = getDicomEntry(t, group, element);
    *present = e && e->value.size() >= 2;
    return *present ? loadLE16(e->value.data()) : 0;
}

// Leading decimal integer of an IS text; -1 when there is none.
int64_t isValue(const DicomElement* e) {
    if (!e) return -1;
    std::string s = textOf(*e);
    int64_t v = -1;
    const char* b = s.c_str();
    if (*b == '+') ++b;
    auto r = std::from_chars(b, s.c_str() + s.size(), v);
    return r.ec == std::errc() ? v : -1;
}

// "row spacing\column spacing" in millimetres.
bool pixelSpacing(const DicomElement* e, double* rowSpacing, double* colSpacing) {
    if (!e) return false;
    std::string s = textOf(*e);
    size_t bs = s.find('\\');
    std::string a = s.substr(0, bs), b = bs == std::string::npos ? a : s.substr(bs + 1);
    auto num = [](std::string t, double* out) {
        while (!t.empty() && t.front() == ' ') t.erase(0, 1);
        while (!t.empty() && t.back() == ' ') t.pop_back();
        const char* p = t.c_str();
        if (*p == '+') ++p;
        double v = 0;
        auto r = std::from_chars(p, t.c_str() + t.size(), v);
        if (r.ec != std::errc() || !(v > 0) || v > 1e300) return false;
        *out = v;
        return true;
    };
    return num(a, rowSpacing) && num(b, colSpacing);
}

int refuse(const std::string& msg) {
    zarn::conPuts(zarn::kStderr, msg);
    return -1;
}

}  // namespace

std::vector<uint32_t> DicomTable::sortedKeys() const {
    std::vector<uint32_t> keys;
    keys.reserve(elements.size());
    for (const auto& kv : elements) keys.push_back(kv.first);
    std::sort(keys.begin(), keys.end());
    return keys;
}

DicomParse parseDicom(int fd, std::unique_ptr<DicomTable>& out, std::string* why) {
    out.reset();
    int64_t size = zarn::fileSize(fd);
    if (size < 8) return DicomParse::NotDicom;
    auto t = std::make_unique<DicomTable>();
    Parser p(fd, size);
    DicomParse r = p.run(*t, why);
    if (r == DicomParse::Ok) out = std::move(t);
    return r;
}

std::unique_ptr<DicomTable> getDicomHashTable(int fd, int64_t* dataOffset) {
    std::unique_ptr<DicomTable> t;
    parseDicom(fd, t);
    if (dataOffset) *dataOffset = t ? t->pixelOffset : -1;
    return t;
}

const DicomElement* getDicomEntry(const DicomTable& table, unsigned group, unsigned element) {
    auto it = table.elements.find(dicomKey(group, element));
    return it == table.elements.end() ? nullptr : it->second.get();
}

bool putToDicomHashTable(DicomTable& table, std::unique_ptr<DicomElement> record) {
    uint32_t key = record->key();
    auto [it, isNew] = table.elements.try_emplace(key, nullptr);
    it->second = std::move(record);
    return isNew;
}

int imgDicom(int fd, const char* name, ImageHead* head, HandlerPtr* priv) {
    std::unique_ptr<DicomTable> t;
    std::string why;
    DicomParse parsed = parseDicom(fd, t, &why);
    if (parsed == DicomParse::NotDicom) return 0;
    if (parsed == DicomParse::Unsupported) return refuse(why);

    // Only a set that is an image at all is refused aloud: bytes that merely
    // happen to parse stay silent for the other recognisers.
    bool hasRows, hasCols, hasBits, hasSpp, hasRep, hasPlanar;
    int64_t rows = usValue(*t, 0x0028, 0x0010, &hasRows);
    int64_t cols = usValue(*t, 0x0028, 0x0011, &hasCols);
    int bits = static_cast<int>(usValue(*t, 0x0028, 0x0100, &hasBits));
    if (!hasRows || !hasCols || !hasBits || t->pixelOffset < 0) return 0;
    if (const DicomElement* cc = getDicomEntry(*t, 0x0028, 0x0060)) {
        std::string code = textOf(*cc);
        if (strcasecmp(code.c_str(), "NONE") != 0) return refuse(kCompressedMsg);
    }
    if (t->compressed) return refuse(kCompressedMsg);
    int64_t nbands = usValue(*t, 0x0028, 0x0002, &hasSpp);
    if (!hasSpp) nbands = 1;
    bool isSigned = usValue(*t, 0x0028, 0x0103, &hasRep) != 0;
    bool planar = nbands > 1 && usValue(*t, 0x0028, 0x0006, &hasPlanar) == 1;
    int64_t frames = isValue(getDicomEntry(*t, 0x0028, 0x0008));
    if (frames < 0) frames = 0;

    int pixel;
    switch (bits) {
    case 4: pixel = PIX_4BITS; break;
    case 8: pixel = isSigned ? PIX_SBYTE : PIX_BYTE; break;
    case 16: pixel = isSigned ? PIX_SHORT : PIX_USHORT; break;
    case 32: pixel = isSigned ? PIX_LONG : PIX_ULONG; break;
    default: return refuse(zarn::strPrintf("Unable to read DICOM image with %d bits allocated.\n", bits));
    }
    if (rows < 1 || cols < 1 || nbands < 1)
        return refuse(zarn::strPrintf("Unable to read DICOM image of %lld x %lld pixels and %lld samples.\n",
                                      static_cast<long long>(cols), static_cast<long long>(rows),
                                      static_cast<long long>(nbands)));
    if (planar && frames > 1) return refuse("Unable to read multi-frame DICOM image stored by colour plane.\n");

    // A line record holds every band of a line (one band when stored by
    // plane); nibbles of a line must start on a byte.
    int64_t lineSamples = planar ? cols : cols * nbands;
    if (bits == 4 && lineSamples % 2) return refuse("Unable to read 4-bit DICOM image with an odd line length.\n");
    auto block = zarn::mulSize(lineSamples, bits);
    auto frameBytes = block ? zarn::mulSize(*block / 8, rows, planar ? nbands : 1) : std::nullopt;
    auto total = frameBytes ? zarn::mulSize(*frameBytes, std::max<int64_t>(frames, 1)) : std::nullopt;
    int64_t available = std::min<int64_t>(zarn::fileSize(fd) - t->pixelOffset, t->pixelLength);
    if (!total || *total > available) return refuse("DICOM pixel data is shorter than its image.\n");
    if (!zarn::fitsInt(t->pixelOffset) || !zarn::fitsInt(*block / 8) || !zarn::fitsInt(frames))
        return refuse("DICOM image is too large.\n");

    ImageHead h = blankImageHead();
    if (name) setHeadFile(h, name);
    h.imgid = planar ? IMG_BSQ : IMG_BIP;
    h.mapid = MAP_DICOM;
    h.pixel = pixel;
    h.offset = static_cast<int>(t->pixelOffset);
    h.block = static_cast<int>(*block / 8);
    h.rows = static_cast<int>(rows);
    h.columns = static_cast<int>(cols);
    h.bits = bits;
    h.nbands = static_cast<int>(nbands);
    h.msbf = 0;  // the accepted transfer syntaxes are little endian
    h.nvolumes = static_cast<int>(frames);
    double rowSpacing = 1.0, colSpacing = 1.0;
    if (pixelSpacing(getDicomEntry(*t, 0x0028, 0x0030), &rowSpacing, &colSpacing)) {
        h.dy = rowSpacing;
        h.dx = colSpacing;
    }
    *head = h;
    if (priv) *priv = std::move(t);
    return head->imgid;
}
