// Raw portable pixmaps and graymaps ("P6", "P5") with 8-bit samples.  The
// store addresses the pixel-interleaved lines in the file itself; this file
// reads and writes the text header.
#include <cctype>
#include <cstdint>
#include <string>

#include "formats/formats.h"
#include "init/output.h"
#include "ramimage/fileio.h"

namespace {

constexpr int kMaxTokenChars = 32;        // magic, width, height and maximum together
constexpr int64_t kMaxHeaderBytes = 65536;  // comments included
constexpr size_t kChunk = 4096;

bool isSpace(int c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

// Bytes of the file from offset 0, fetched a chunk at a time, up to the
// header limit.
class HeaderReader {
public:
    explicit HeaderReader(int fd) : fd_(fd) {}
    // Next byte, or -1 at the end of the file or of the allowed header.
    int next() {
        if (pos_ == static_cast<int64_t>(buf_.size())) {
            if (pos_ >= kMaxHeaderBytes) return -1;
            std::string chunk(kChunk, '\0');
            int64_t n = zarn::readAt(fd_, chunk.data(), kChunk, pos_);
            if (n <= 0) return -1;
            buf_.append(chunk.data(), static_cast<size_t>(n));
        }
        return static_cast<unsigned char>(buf_[static_cast<size_t>(pos_++)]);
    }
    int64_t consumed() const { return pos_; }

private:
    int fd_;
    std::string buf_;
    int64_t pos_ = 0;
};

// A positive decimal number of at most 9 digits; -1 otherwise.
int64_t parseCount(const std::string& s) {
    if (s.empty() || s.size() > 9) return -1;
    int64_t v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return -1;
        v = v * 10 + (c - '0');
    }
    return v;
}

struct PpmHeader {
    int nbands = 0;
    int64_t width = 0, height = 0, maxval = 0;
    int64_t length = 0;  // header bytes, the terminating whitespace byte included
};

// Collects the four tokens; false when the text is not a raw PPM/PGM header.
// A '#' starts a comment to the end of the line wherever whitespace may be.
bool readPpmHeader(int fd, PpmHeader* h) {
    HeaderReader in(fd);
    std::string tokens[4];
    int total = 0;
    int c = in.next();
    for (int t = 0; t < 4; ++t) {
        for (;;) {  // whitespace and comments before the token
            if (c == '#') {
                while (c != -1 && c != '\n' && c != '\r') c = in.next();
            } else if (c != -1 && isSpace(c)) {
                c = in.next();
            } else {
                break;
            }
        }
        if (c == -1) return false;
        while (c != -1 && !isSpace(c) && c != '#') {
            if (++total > kMaxTokenChars) return false;
            tokens[t] += static_cast<char>(c);
            c = in.next();
        }
        if (t == 0 && tokens[0] != "P6" && tokens[0] != "P5") return false;
    }
    // Exactly one whitespace byte separates the maximum from the samples.
    if (c == -1 || !isSpace(c)) return false;
    h->nbands = tokens[0] == "P6" ? 3 : 1;
    h->width = parseCount(tokens[1]);
    h->height = parseCount(tokens[2]);
    h->maxval = parseCount(tokens[3]);
    h->length = in.consumed();
    return h->width >= 0 && h->height >= 0 && h->maxval >= 0;
}

}  // namespace

int imgPPM(int fd, const char*, ImageHead* head, HandlerPtr*) {
    PpmHeader h;
    if (!readPpmHeader(fd, &h)) return 0;
    if (h.maxval < 1 || h.maxval > 255) {
        zarn::conPrintf(zarn::kStderr, "PPM: maximum value %lld is not supported (8-bit samples only).\n",
                        static_cast<long long>(h.maxval));
        return -1;
    }
    int64_t block = h.width * h.nbands;
    auto data = zarn::mulSize(block, h.height);
    auto end = data ? zarn::addSize(*data, h.length) : std::nullopt;
    if (h.width < 1 || h.height < 1 || !zarn::fitsInt(block) || !end || *end > zarn::fileSize(fd)) {
        zarn::conPrintf(zarn::kStderr, "PPM: %lld x %lld pixels do not fit in the file.\n",
                        static_cast<long long>(h.width), static_cast<long long>(h.height));
        return -1;
    }
    head->imgid = IMG_PPM;
    head->mapid = MAP_GRID;
    head->pixel = PIX_BYTE;
    head->bits = 8;
    head->nbands = h.nbands;
    head->columns = static_cast<int>(h.width);
    head->rows = static_cast<int>(h.height);
    head->block = static_cast<int>(block);
    head->offset = static_cast<int>(h.length);
    head->msbf = 0;
    head->nindices = 0;
    head->top = head->left = 0;
    head->transparent = -1;
    head->x0 = head->y0 = 0;
    head->dx = head->dy = 1.0;
    return IMG_PPM;
}

int initPPMHead(int fd, ImageHead* head) {
    if (head->nbands != 1 && head->nbands != 3) return -1;
    if (head->rows < 1 || head->columns < 1) return -1;
    int64_t block = int64_t{head->columns} * head->nbands;
    if (!zarn::fitsInt(block)) return -1;
    std::string magic = head->nbands == 3 ? "P6\n" : "P5\n";
    std::string rest = zarn::strPrintf("%d %d\n255\n", head->columns, head->rows);
    int64_t length = static_cast<int64_t>(magic.size() + rest.size());
    if (head->offset > 0) {
        if (head->offset < length) return -1;
        // The padding goes between the magic and the width, as comment
        // lines of spaces (and a blank line for a single byte), where every
        // reader skips it; after the maximum only one whitespace byte may
        // stand before the samples.
        int64_t pad = head->offset - length;
        while (pad > 0) {
            if (pad == 1) {
                magic += '\n';
                pad = 0;
            } else {
                int64_t line = pad < 72 ? pad : (pad - 72 == 1 ? 71 : 72);
                magic += '#';
                magic.append(static_cast<size_t>(line - 2), ' ');
                magic += '\n';
                pad -= line;
            }
        }
        length = head->offset;
    }
    std::string text = magic + rest;
    if (!zarn::writeAt(fd, text.data(), text.size(), 0)) return -1;
    head->offset = static_cast<int>(length);
    head->pixel = PIX_BYTE;
    head->bits = 8;
    head->imgid = IMG_PPM;
    head->block = static_cast<int>(block);
    head->nindices = 0;
    head->msbf = 0;
    return head->offset;
}
