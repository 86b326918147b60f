// X bitmap source text.  The whole picture is parsed into the line cache at
// first access and written back as text when it is flushed.
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "formats/formats.h"
#include "init/output.h"
#include "ramimage/fileio.h"

namespace {

constexpr size_t kScanBytes = 4096;  // the size definitions must stand in the first 4096 bytes
constexpr size_t kChunk = 4096;
constexpr size_t kMaxToken = 24;     // longer than any C literal of a byte or a short
constexpr size_t kDeclWindow = 512;  // text kept before '{' to tell the array's type

bool isIdent(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

// True when `word` stands in `text` as a whole identifier.
bool hasWord(std::string_view text, std::string_view word) {
    for (size_t at = text.find(word); at != std::string_view::npos; at = text.find(word, at + 1)) {
        bool before = at > 0 && isIdent(text[at - 1]);
        bool after = at + word.size() < text.size() && isIdent(text[at + word.size()]);
        if (!before && !after) return true;
    }
    return false;
}

bool endsWith(std::string_view s, std::string_view tail) {
    return s.size() > tail.size() && s.substr(s.size() - tail.size()) == tail;
}

// Finds "#define NAME_width N" and "#define NAME_height N" (first of each,
// N a positive decimal); false when either is missing.
bool findSize(std::string_view text, int64_t* width, int64_t* height) {
    *width = *height = -1;
    size_t at = 0;
    while ((at = text.find("#define", at)) != std::string_view::npos) {
        size_t p = at + 7;
        at = p;
        size_t q = p;
        while (q < text.size() && (text[q] == ' ' || text[q] == '\t')) ++q;
        if (q == p) continue;
        size_t nameStart = q;
        while (q < text.size() && isIdent(text[q])) ++q;
        std::string_view name = text.substr(nameStart, q - nameStart);
        int64_t* target = endsWith(name, "_width") ? width : endsWith(name, "_height") ? height : nullptr;
        if (!target || *target >= 0) continue;
        size_t r = q;
        while (r < text.size() && (text[r] == ' ' || text[r] == '\t')) ++r;
        if (r == q) continue;
        int64_t v = 0;
        size_t digits = 0;
        while (r < text.size() && text[r] >= '0' && text[r] <= '9' && digits < 10) {
            v = v * 10 + (text[r] - '0');
            ++r;
            ++digits;
        }
        if (digits == 0 || digits == 10 || v < 1) continue;
        if (r < text.size() && isIdent(text[r])) continue;
        *target = v;
    }
    return *width > 0 && *height > 0;
}

// Parses the array after the first '{' into rows of `block` bytes spaced
// `stride` apart.  Arrays of "short" (the older layout) hold two bytes of a
// line in each number, low byte first.  Returns 1 when every row was read,
// 0 when the text ended (or broke off) early.
int parseBits(int fd, int rows, int block, unsigned char* out, int64_t stride) {
    std::string window;  // the declaration text just before '{'
    std::string buf(kChunk, '\0');
    int64_t pos = 0;
    size_t n = 0, i = 0;
    bool found = false;
    while (!found) {
        int64_t got = zarn::readAt(fd, buf.data(), kChunk, pos);
        if (got <= 0) return 0;
        pos += got;
        n = static_cast<size_t>(got);
        for (i = 0; i < n; ++i) {
            if (buf[i] == '{') {
                found = true;
                ++i;
                break;
            }
            window += buf[i];
            if (buf[i] == ';') window.clear();
        }
        if (window.size() > kDeclWindow) window.erase(0, window.size() - kDeclWindow);
    }
    const bool words = hasWord(window, "short");
    const int perToken = words ? 2 : 1;
    const int tokensPerLine = (block + perToken - 1) / perToken;

    std::string token;
    int line = 0, inLine = 0;
    unsigned char* row = out;
    for (;;) {
        for (; i < n; ++i) {
            char c = buf[i];
            if (c == ' ' || c == '\n' || c == '\t' || c == '\r' || c == '\f' || c == '\v') continue;
            if (c != ',' && c != '}') {
                if (token.size() >= kMaxToken) {
                    zarn::conPuts(zarn::kStderr, "XBM: a number in the bitmap is too long.\n");
                    return 0;
                }
                token += c;
                continue;
            }
            if (!token.empty()) {
                unsigned long v = std::strtoul(token.c_str(), nullptr, 0);
                token.clear();
                for (int k = 0; k < perToken; ++k) {
                    int byte = inLine * perToken + k;
                    if (byte < block) row[byte] = static_cast<unsigned char>(v >> (8 * k));
                }
                if (++inLine == tokensPerLine) {
                    inLine = 0;
                    row += stride;
                    if (++line == rows) return 1;
                }
            }
            if (c == '}') return 0;
        }
        int64_t got = zarn::readAt(fd, buf.data(), kChunk, pos);
        if (got <= 0) return 0;
        pos += got;
        n = static_cast<size_t>(got);
        i = 0;
    }
}

// True when every band-line of the image sits in its own cache slot.
bool holdsWholeImage(const RAMImage* img) {
    int64_t lines = int64_t{img->head.rows} * img->head.nbands;
    if (img->slotCount < lines || static_cast<int64_t>(img->slotLine.size()) < lines) return false;
    for (int64_t k = 0; k < lines; ++k)
        if (img->slotLine[static_cast<size_t>(k)] != k) return false;
    return true;
}

}  // namespace

int imgXBMP(int fd, const char*, ImageHead* head, HandlerPtr*) {
    std::string text(kScanBytes, '\0');
    int64_t got = zarn::readAt(fd, text.data(), kScanBytes, 0);
    if (got <= 0) return 0;
    text.resize(static_cast<size_t>(got));
    int64_t width, height;
    if (!findSize(text, &width, &height)) return 0;
    int64_t block = (width + 7) / 8;
    // Every byte of the bitmap takes at least one character of text.
    auto bytes = zarn::mulSize(block, height);
    if (!zarn::fitsInt(width) || !zarn::fitsInt(height) || !bytes || *bytes > zarn::fileSize(fd)) {
        zarn::conPrintf(zarn::kStderr, "XBM: %lld x %lld pixels do not fit in the file.\n",
                        static_cast<long long>(width), static_cast<long long>(height));
        return -1;
    }
    head->imgid = IMG_XBMP;
    head->mapid = MAP_GRID;
    head->pixel = PIX_1BIT;
    head->bits = 1;
    head->nbands = 1;
    head->msbf = 0;
    head->columns = static_cast<int>(width);
    head->rows = static_cast<int>(height);
    head->block = static_cast<int>(block);
    head->offset = 0;
    head->top = head->left = 0;
    head->nindices = 2;
    std::memset(head->colorTable[0], 255, 3);
    std::memset(head->colorTable[1], 0, 3);
    head->transparent = -1;
    head->x0 = head->y0 = 0;
    head->dx = head->dy = 1.0;
    return IMG_XBMP;
}

int readXBMP(RAMImage* img) {
    if (!holdWholeImage(img)) {
        zarn::conPuts(zarn::kStderr, "Error of malloc in readXBMP.\n");
        return 0;
    }
    const ImageHead& h = img->head;
    int block = static_cast<int>((int64_t{h.columns} + 7) / 8);
    if (block > img->lineBytes) block = static_cast<int>(img->lineBytes);
    return parseBits(img->fd, h.rows, block, img->slotPtr(0), img->lineBytes);
}

int initXBMP(int fd, ImageHead* head, const unsigned char* data, int bytesPerLine) {
    if (head->rows < 1 || head->columns < 1) return -1;
    const int64_t block = (int64_t{head->columns} - 1) / 8 + 1;
    if (!data) bytesPerLine = 0;
    std::string text = zarn::strPrintf("#define xbmp_width %d\n#define xbmp_height %d\nstatic char xbmp_bits[] = {\n",
                                       head->columns, head->rows);
    const int headerLength = static_cast<int>(text.size());
    const int64_t total = block * head->rows;
    int64_t pos = 0, count = 0;
    char item[16];
    for (int64_t y = 0; y < head->rows; ++y) {
        const unsigned char* row = data ? data + y * bytesPerLine : nullptr;
        for (int64_t x = 0; x < block; ++x) {
            unsigned v = row ? row[x] : 0;
            ++count;
            int len = count == total        ? std::snprintf(item, sizeof item, " 0x%02x};", v)
                      : count % 12 == 0 ? std::snprintf(item, sizeof item, " 0x%02x,\n", v)
                                        : std::snprintf(item, sizeof item, " 0x%02x,", v);
            text.append(item, static_cast<size_t>(len));
            if (text.size() >= 65536) {
                if (!zarn::writeAt(fd, text.data(), text.size(), pos)) return -1;
                pos += static_cast<int64_t>(text.size());
                text.clear();
            }
        }
    }
    if (!zarn::writeAt(fd, text.data(), text.size(), pos)) return -1;
    pos += static_cast<int64_t>(text.size());
    // A rewritten picture may be shorter than the old text.
    if (::ftruncate(fd, static_cast<off_t>(pos)) != 0) return -1;
    return headerLength;
}

bool writeXBMP(RAMImage* img) {
    if (img->fd < 0) return true;
    if (img->readOnly) {
        zarn::conPrintf(zarn::kStderr, "XBM: %s is read-only; the changes are not saved.\n", img->head.file);
        return false;
    }
    if (!holdsWholeImage(img)) {
        zarn::conPrintf(zarn::kStderr, "XBM: %s is not wholly in memory; the changes are not saved.\n",
                        img->head.file);
        return false;
    }
    if (initXBMP(img->fd, &img->head, img->slotPtr(0), static_cast<int>(img->lineBytes)) < 0) {
        zarn::conPrintf(zarn::kStderr, "XBM: error writing %s.\n", img->head.file);
        return false;
    }
    // The whole picture went out at once.
    std::fill(img->dirtyBits.begin(), img->dirtyBits.end(), 0);
    return true;
}
