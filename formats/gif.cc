// GIF87a and GIF89a: recognition, block parsing and the composition of the
// frames of an animation into the image's line cache, one frame per volume.
//
// The cache of a GIF image holds the whole logical screen; each frame is
// drawn over what the previous frames left, after the previous frame's
// disposal has been carried out, so volume n shows what every viewer shows
// after n frames.
#include <algorithm>
#include <cstring>
#include <memory>

#include "formats/formats.h"
#include "formats/gif.h"
#include "init/output.h"
#include "ramimage/byteorder.h"

using zarn::conPrintf;
using zarn::conPuts;
using zarn::kStderr;

namespace gif {

int getGifSig(GifReader& in) {
    unsigned char sig[6];
    if (in.read(sig, 6) != 6) return 0;
    if (std::memcmp(sig, "GIF87a", 6) == 0) return IMG_GIF87a;
    if (std::memcmp(sig, "GIF89a", 6) == 0) return IMG_GIF89a;
    return 0;
}

static bool readColorTable(GifReader& in, int sizeField, ColorTable& table) {
    int n = 2 << (sizeField & 7);
    if (in.read(table.rgb, 3 * n) != 3 * n) return false;
    table.count = n;
    return true;
}

bool getGifLSD(GifReader& in, LogicalScreen& lsd) {
    unsigned char b[7];
    if (in.read(b, 7) != 7) return false;
    lsd.width = loadLE16(b);
    lsd.height = loadLE16(b + 2);
    lsd.flags = b[4];
    lsd.background = b[5];
    lsd.aspect = b[6];
    lsd.global.count = 0;
    return !(lsd.flags & 0x80) || readColorTable(in, lsd.flags, lsd.global);
}

int getGifImgDes(GifReader& in, ImageDescriptor& des) {
    unsigned char b[9];
    if (in.read(b, 9) != 9) return 0;
    des.left = loadLE16(b);
    des.top = loadLE16(b + 2);
    des.width = loadLE16(b + 4);
    des.height = loadLE16(b + 6);
    des.flags = b[8];
    des.local.count = 0;
    if ((des.flags & 0x80) && !readColorTable(in, des.flags, des.local)) return 0;
    int size = in.byte();
    if (size < 0) return 0;
    des.codeSize = size;
    return des.local.count ? 2 : 1;
}

int getGifBlock(GifReader& in, unsigned char* buf) {
    int len = in.byte();
    if (len < 0) {
        conPuts(kStderr, "Error in read GIF Block Size.\n");
        return -1;
    }
    if (len && in.read(buf, len) != len) {
        conPuts(kStderr, "Error in read GIF Block Data.\n");
        return -1;
    }
    return len;
}

bool getGifGraphicControl(GifReader& in, GraphicControl& gce) {
    gce = GraphicControl{};
    gce.present = true;
    int len = in.byte();
    if (len < 0) return false;
    if (len == 0) return true;  // an empty extension: only its terminator
    unsigned char b[255] = {};
    if (in.read(b, len) != len) return false;
    // Fields missing from a short first sub-block read as 0.
    int flags = b[0];
    gce.disposal = (flags & 0x1C) >> 2;
    gce.userInput = flags & 0x02;
    gce.hasTransparency = flags & 0x01;
    gce.delayMs = loadLE16(b + 1) * 10;
    gce.transparent = gce.hasTransparency ? b[3] : -1;
    return skipGifBlocks(in);
}

int64_t getImgSeparate(GifReader& in, int* transparent) {
    for (;;) {
        int c = in.byte();
        if (c < 0 || c == ';') return 0;
        if (c == ',') return in.tell();
        if (c != '!') continue;
        int label = in.byte();
        if (label < 0) return 0;
        if (label == 0xF9) {
            GraphicControl g;
            if (!getGifGraphicControl(in, g)) return 0;
            if (g.hasTransparency && transparent && *transparent < 0) *transparent = g.transparent;
        } else if (label == 0x01 || label == 0xFE || label == 0xFF) {
            if (!skipGifBlocks(in)) return 0;
        } else {
            return -1;
        }
    }
}

// 1 for a usable GIF, 0 for another format, -1 for a GIF whose logical
// screen cannot be held.
static int recognise(int fd, GifInfo& info) {
    GifReader in(fd, 0);
    info.version = getGifSig(in);
    if (!info.version || !getGifLSD(in, info.lsd)) return 0;
    const LogicalScreen& s = info.lsd;
    if (s.width < 1 || s.height < 1 || int64_t(s.width) * s.height > kMaxScreenPixels) return -1;
    info.dataStart = in.tell();
    info.transparent = -1;
    getImgSeparate(in, &info.transparent);
    return 1;
}

bool readGifInfo(int fd, GifInfo& info) { return recognise(fd, info) == 1; }

}  // namespace gif

using namespace gif;

namespace {

// Decoder state of one GIF image, hung on img->privData.
struct GifState : HandlerData {
    explicit GifState(const GifInfo& i) : info(i) {}

    GifInfo info;
    GraphicControl gce;  // the one read since the last image, for the next
    // The disposal the frame last drawn asks for, carried out when the next
    // frame is drawn.
    int disposal = 0;
    int rx0 = 0, ry0 = 0, rx1 = 0, ry1 = 0;  // its rectangle clipped to the screen
    std::vector<unsigned char> saved;          // what lay under it (disposal 3)
    const unsigned char* canvas = nullptr;     // the cache the frames were composed in
    std::vector<unsigned char> row;
    GifDecoder decoder;

    // Value of cleared screen areas: the image's transparent index when it
    // has one, else the background index.
    int clearValue() const {
        if (info.transparent >= 0) return info.transparent;
        return info.lsd.global.count ? info.lsd.background : 0;
    }
};

void setColorTable(ImageHead& head, const ColorTable& t) {
    head.nindices = t.count;
    std::memcpy(head.colorTable, t.rgb, sizeof t.rgb);
}

void fillHead(ImageHead& head, const GifInfo& info) {
    head.imgid = info.version;
    head.pixel = PIX_BYTE;
    head.bits = 8;
    head.nbands = 1;
    head.mapid = MAP_GRID;
    head.columns = info.lsd.width;
    head.rows = info.lsd.height;
    head.block = head.top = head.left = 0;
    head.x0 = head.y0 = 0;
    head.dx = head.dy = 1.0;
    head.msbf = msbFirst() ? 1 : 0;
    setColorTable(head, info.lsd.global);
    head.offset = static_cast<int>(info.dataStart);
    head.transparent = info.transparent;
}

GifState* stateOf(RAMImage* img) {
    if (auto* s = dynamic_cast<GifState*>(img->privData.get())) return s;
    GifInfo info;
    if (img->fd < 0 || !readGifInfo(img->fd, info)) return nullptr;
    auto s = std::make_unique<GifState>(info);
    GifState* p = s.get();
    img->privData = std::move(s);
    return p;
}

unsigned char* rowOf(RAMImage* img, int y) { return img->slotPtr(y); }

void fillCanvas(RAMImage* img, int value) {
    std::memset(img->buffer.data(), value, static_cast<size_t>(img->head.rows * img->lineBytes));
}

bool canvasIntact(const RAMImage* img, const GifState& s) {
    if (!s.canvas || img->buffer.data() != s.canvas) return false;
    const int rows = img->head.rows;
    if (img->slotCount != rows || img->lineBytes < img->head.columns) return false;
    if (static_cast<int64_t>(img->slotLine.size()) < rows) return false;
    for (int k = 0; k < rows; ++k)
        if (img->slotLine[k] != k) return false;
    return true;
}

// The rectangle of a frame within the screen (may be empty).
void clipRect(const RAMImage* img, const ImageDescriptor& d, int& x0, int& y0, int& x1, int& y1) {
    x0 = std::min(d.left, img->head.columns);
    y0 = std::min(d.top, img->head.rows);
    x1 = std::min(d.left + d.width, img->head.columns);
    y1 = std::min(d.top + d.height, img->head.rows);
}

void disposePrevious(RAMImage* img, GifState& s) {
    const int w = s.rx1 - s.rx0;
    if (w > 0 && s.disposal == 2) {
        for (int y = s.ry0; y < s.ry1; ++y) std::memset(rowOf(img, y) + s.rx0, s.clearValue(), w);
    } else if (w > 0 && s.disposal == 3 && !s.saved.empty()) {
        const unsigned char* p = s.saved.data();
        for (int y = s.ry0; y < s.ry1; ++y, p += w) std::memcpy(rowOf(img, y) + s.rx0, p, w);
    }
    s.disposal = 0;
    s.saved.clear();
}

// One decoded row of the frame into its screen row: only the clipped
// columns, and, when the frame has a transparent index, only the pixels
// that are not transparent.
void composeRow(unsigned char* dst, const unsigned char* src, int n, int transparent) {
    if (transparent < 0) {
        std::memcpy(dst, src, n);
        return;
    }
    const unsigned char t = static_cast<unsigned char>(transparent);
    for (int x = 0; x < n; ++x) dst[x] = src[x] == t ? dst[x] : src[x];
}

// Row of the frame that the i-th decoded row goes to, for the four passes
// of an interlaced frame.
class RowOrder {
public:
    RowOrder(int height, bool interlaced) : h_(height), interlaced_(interlaced) {}
    int next() {
        if (!interlaced_) return y_++;
        while (y_ >= h_ && pass_ < 3) {
            ++pass_;
            y_ = kStart[pass_];
        }
        int y = y_;
        y_ += kStep[pass_];
        return y;
    }

private:
    static constexpr int kStart[4] = {0, 4, 2, 1};
    static constexpr int kStep[4] = {8, 8, 4, 2};
    int h_;
    bool interlaced_;
    int pass_ = 0;
    int y_ = 0;
};

// Draws the frame whose descriptor has just been read; the reader is at its
// image data.  False when the file ended inside the data.
bool drawFrame(RAMImage* img, GifState& s, GifReader& in, const ImageDescriptor& d) {
    disposePrevious(img, s);
    // A frame without a table of its own is drawn with the global table.
    setColorTable(img->head, d.local.count ? d.local : s.info.lsd.global);
    img->delay = s.gce.delayMs > 0 ? s.gce.delayMs : 33;

    int x0, y0, x1, y1;
    clipRect(img, d, x0, y0, x1, y1);
    const int w = x1 - x0;
    if (s.gce.disposal == 3 && w > 0 && y1 > y0) {
        s.saved.resize(static_cast<size_t>(w) * (y1 - y0));
        unsigned char* p = s.saved.data();
        for (int y = y0; y < y1; ++y, p += w) std::memcpy(p, rowOf(img, y) + x0, w);
    }

    const int transparent = s.gce.hasTransparency ? s.gce.transparent : -1;
    if (!s.decoder.initGifImgBlk(&in, d.codeSize)) {
        conPrintf(kStderr, "Bad LZW code size %d in GIF frame %d\n", d.codeSize, img->curVolume + 1);
    } else if (d.width > 0) {
        s.row.resize(d.width);
        RowOrder order(d.height, d.interlaced());
        for (int i = 0; i < d.height; ++i) {
            int64_t n = s.decoder.read(s.row.data(), d.width);
            int y = d.top + order.next();
            if (y < img->head.rows && w > 0) {
                int m = static_cast<int>(std::min<int64_t>(n, w));
                if (m > 0) composeRow(rowOf(img, y) + x0, s.row.data(), m, transparent);
            }
            if (n < d.width) break;
        }
        if (s.decoder.corrupt())
            conPrintf(kStderr, "Corrupt GIF data in frame %d\n", img->curVolume + 1);
    }
    bool complete = s.decoder.finish();

    s.disposal = s.gce.disposal;
    s.rx0 = x0;
    s.ry0 = y0;
    s.rx1 = std::max(x0, x1);
    s.ry1 = std::max(y0, y1);
    // A graphic control extension governs only the image that follows it.
    s.gce = GraphicControl{};
    return complete;
}

// Reads blocks from the data offset up to and including the next image.
// 1 when a frame was drawn, 2 at the trailer or the end of the file, 0 on
// an error.
int decodeNext(RAMImage* img, GifState& s) {
    GifReader in(img->fd, img->dataOffset);
    bool junkReported = false;
    for (;;) {
        const int64_t at = in.tell();
        int c = in.byte();
        bool eof = c < 0;
        if (c == ';') {
            // Every later call meets the trailer again.
            img->dataOffset = at;
            img->volumeCount = img->curVolume;
            return 2;
        }
        if (c == '!') {
            int label = in.byte();
            if (label == 0xF9) {
                eof = !getGifGraphicControl(in, s.gce);
            } else if (label == 0x01 || label == 0xFE || label == 0xFF) {
                eof = !skipGifBlocks(in);
            } else if (label < 0) {
                eof = true;
            } else {
                conPuts(kStderr, "    Unknown label in extension block\n");
                return 0;
            }
        } else if (c == ',') {
            ImageDescriptor d;
            if (getGifImgDes(in, d) == 0) {
                conPuts(kStderr, "    Error in getGIFImgDes\n");
                eof = true;
            } else {
                bool complete = drawFrame(img, s, in, d);
                img->dataOffset = in.tell();
                ++img->curVolume;
                if (!complete) {
                    conPuts(kStderr, "Unexpected GIF EOF\n");
                    img->volumeCount = img->curVolume;
                } else if (in.byte() == ';') {
                    img->volumeCount = img->curVolume;
                }
                return 1;
            }
        } else if (!eof) {
            // Stray bytes between blocks are passed over, one at a time, so
            // the stream always moves on.
            if (!junkReported) conPrintf(kStderr, "Unknown GIF Introducer: 0x%x.\n", c);
            junkReported = true;
            continue;
        }
        if (eof) {
            conPuts(kStderr, "Unexpected GIF EOF\n");
            img->dataOffset = at;
            img->volumeCount = img->curVolume;
            return 2;
        }
    }
}

// Back to the state before the first frame: header values of the file, an
// empty screen.
bool restart(RAMImage* img, GifState& s) {
    GifInfo info;
    if (img->fd < 0 || !readGifInfo(img->fd, info)) return false;
    s.info = info;
    s.gce = GraphicControl{};
    s.disposal = 0;
    s.saved.clear();
    setColorTable(img->head, info.lsd.global);
    img->head.transparent = info.transparent;
    img->dataOffset = info.dataStart;
    img->curVolume = 0;
    fillCanvas(img, s.clearValue());
    return true;
}

// Makes sure the cache holds the screen as the frames decoded so far left
// it.  When the cache was dropped or reallocated meanwhile, the screen is
// composed again from the first frame.
bool prepareCanvas(RAMImage* img, GifState& s) {
    if (canvasIntact(img, s)) return true;
    if (!holdWholeImage(img) || img->lineBytes < img->head.columns) {
        s.canvas = nullptr;
        conPuts(kStderr, "Error of malloc in readGIF.\n");
        return false;
    }
    s.canvas = img->buffer.data();
    const int target = img->curVolume;
    if (!restart(img, s)) return false;
    while (img->curVolume < target) {
        if (decodeNext(img, s) != 1) break;
    }
    return true;
}

}  // namespace

int imgGif(int fd, const char*, ImageHead* head, HandlerPtr* priv) {
    GifInfo info;
    int r = recognise(fd, info);
    if (r < 0) {
        conPrintf(kStderr, "GIF logical screen of %d x %d pixels cannot be read\n", info.lsd.width,
                  info.lsd.height);
        return -1;
    }
    if (r == 0) return 0;
    fillHead(*head, info);
    if (priv) *priv = std::make_unique<GifState>(info);
    return info.version;
}

int readGIF(RAMImage* img) {
    if (!img || img->fd < 0) return 0;
    GifState* s = stateOf(img);
    if (!s || !prepareCanvas(img, *s)) return 0;
    return decodeNext(img, *s);
}

int rewindGIF(RAMImage* img) {
    if (!img) return 0;
    GifState* s = img->fd < 0 ? nullptr : stateOf(img);
    if (!s) {
        conPrintf(kStderr, "Can't rewind %s\n", img->head.file);
        return 0;
    }
    if (!prepareCanvas(img, *s) || !restart(img, *s)) return 0;
    return decodeNext(img, *s) ? 1 : 0;
}

int gifSeek(RAMImage* img, int volume) {
    if (!img || img->fd < 0) return 0;
    GifState* s = stateOf(img);
    if (!s || !prepareCanvas(img, *s)) return -1;
    if (volume == 0) {
        switch (decodeNext(img, *s)) {
        case 1: return img->curVolume;
        case 2: return -2;
        default: return -1;
        }
    }
    if (volume > 0 && volume == img->curVolume) return volume;
    if (volume > 0 && volume < img->curVolume && !rewindGIF(img)) return -1;
    // Each frame read moves the data offset on, so this ends at the trailer
    // or the end of the file at the latest.
    while (volume < 0 || img->curVolume < volume) {
        int r = decodeNext(img, *s);
        if (r == 0) return -1;
        if (r == 2) break;
    }
    return img->curVolume;
}

bool writeGIF(RAMImage*) {
    conPuts(kStderr, "writeGIF has not been implemented!!!\n");
    return false;
}
