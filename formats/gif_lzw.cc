// The byte reader and the LZW decoder of GIF image data.
#include <algorithm>
#include <cstring>

#include "formats/gif.h"
#include "ramimage/fileio.h"

namespace gif {

bool GifReader::fill() {
    at_ = len_ = 0;
    int64_t got = zarn::readAt(fd_, buf_, sizeof buf_, pos_);
    if (got <= 0) return false;
    len_ = got;
    pos_ += got;
    return true;
}

int64_t GifReader::read(void* dst, int64_t n) {
    auto* out = static_cast<unsigned char*>(dst);
    int64_t done = 0;
    while (done < n) {
        if (at_ == len_ && !fill()) break;
        int64_t k = std::min(n - done, len_ - at_);
        std::memcpy(out + done, buf_ + at_, static_cast<size_t>(k));
        at_ += k;
        done += k;
    }
    return done;
}

void GifReader::seek(int64_t pos) {
    int64_t start = pos_ - len_;
    if (pos >= start && pos <= pos_) {
        at_ = pos - start;
        return;
    }
    pos_ = pos < 0 ? 0 : pos;
    at_ = len_ = 0;
}

bool skipGifBlocks(GifReader& in) {
    for (;;) {
        int len = in.byte();
        if (len < 0) return false;
        if (len == 0) return true;
        int64_t next = in.tell() + len;
        in.seek(next);
        // A sub-block cut short by the end of the file ends the stream.
        if (in.tell() != next) return false;
    }
}

bool GifDecoder::initGifImgBlk(GifReader* in, int minCodeSize) {
    in_ = in;
    bits_ = 0;
    nbits_ = 0;
    blockLen_ = blockAt_ = 0;
    pendingAt_ = pendingEnd_ = 0;
    terminatorSeen_ = false;
    eof_ = false;
    corrupt_ = false;
    // Codes are at most 12 bits and the first code size is one more than
    // the minimum, so anything outside 1..11 cannot be a valid stream.
    if (minCodeSize < 1 || minCodeSize > 11) {
        ended_ = true;
        corrupt_ = true;
        return false;
    }
    ended_ = false;
    minCodeSize_ = minCodeSize;
    clearCode_ = 1 << minCodeSize;
    endCode_ = clearCode_ + 1;
    for (int c = 0; c < clearCode_; ++c) {
        prefix_[c] = 0;
        suffix_[c] = static_cast<unsigned char>(c);
        first_[c] = static_cast<unsigned char>(c);
        length_[c] = 1;
    }
    setGifImgBlk();
    return true;
}

void GifDecoder::setGifImgBlk() {
    codeSize_ = minCodeSize_ + 1;
    sizeLimit_ = 2 * clearCode_;
    nextFree_ = clearCode_ + 2;
    oldCode_ = -1;
}

// Tops up the bit store from the current sub-block, reading the next
// sub-block when this one is used up.  A code may straddle any number of
// sub-blocks (even ones of a single byte).
bool GifDecoder::refill() {
    if (blockAt_ == blockLen_) {
        if (terminatorSeen_ || !in_) return false;
        int len = in_->byte();
        if (len <= 0) {
            // The terminator ends the data; so does the end of the file, and
            // then there is nothing left for finish() to skip either.
            terminatorSeen_ = true;
            eof_ = len < 0;
            return false;
        }
        int64_t got = in_->read(block_, len);
        if (got < len) terminatorSeen_ = eof_ = true;  // truncated: the last
        if (got <= 0) return false;
        blockLen_ = static_cast<int>(got);
        blockAt_ = 0;
    }
    while (nbits_ <= 56 && blockAt_ < blockLen_) {
        bits_ |= uint64_t(block_[blockAt_++]) << nbits_;
        nbits_ += 8;
    }
    return true;
}

int GifDecoder::getNextGifCode() {
    while (nbits_ < codeSize_) {
        if (!refill()) return -1;
    }
    int code = static_cast<int>(bits_ & ((uint64_t(1) << codeSize_) - 1));
    bits_ >>= codeSize_;
    nbits_ -= codeSize_;
    return code;
}

// Writes the string of `code` into out when it fits `room`, otherwise into
// the pending buffer from which the next reads continue.
int64_t GifDecoder::emit(int code, unsigned char* out, int64_t room) {
    int len = length_[code];
    unsigned char* dst = len <= room ? out : pending_;
    int c = code;
    for (int i = len - 1; i > 0; --i) {
        dst[i] = suffix_[c];
        c = prefix_[c];
    }
    dst[0] = first_[code];
    if (dst == out) return len;
    std::memcpy(out, pending_, static_cast<size_t>(room));
    pendingAt_ = static_cast<int>(room);
    pendingEnd_ = len;
    return room;
}

int64_t GifDecoder::read(unsigned char* out, int64_t n) {
    int64_t produced = 0;
    if (pendingAt_ < pendingEnd_) {
        int64_t k = std::min<int64_t>(n, pendingEnd_ - pendingAt_);
        std::memcpy(out, pending_ + pendingAt_, static_cast<size_t>(k));
        pendingAt_ += static_cast<int>(k);
        produced = k;
    }
    while (produced < n && !ended_) {
        int code = getNextGifCode();
        if (code < 0 || code == endCode_) {
            ended_ = true;
            break;
        }
        if (code == clearCode_) {
            setGifImgBlk();
            continue;
        }
        if (oldCode_ < 0) {
            // The first code after a clear must be a plain index.
            if (code > clearCode_) {
                ended_ = corrupt_ = true;
                break;
            }
            out[produced++] = static_cast<unsigned char>(code);
            oldCode_ = code;
            // Encoders check the code size after every code they write; with
            // a minimum code size of 1 that already widens it here.
            growCodeSize();
            continue;
        }
        // A code beyond the next free slot refers to nothing yet defined.
        if (code > nextFree_) {
            ended_ = corrupt_ = true;
            break;
        }
        if (nextFree_ < kMaxCodes) {
            // The new entry is the old string plus the first index of this
            // one; for code == nextFree_ that is the old string's own first.
            int f = code < nextFree_ ? first_[code] : first_[oldCode_];
            prefix_[nextFree_] = static_cast<uint16_t>(oldCode_);
            suffix_[nextFree_] = static_cast<unsigned char>(f);
            first_[nextFree_] = first_[oldCode_];
            length_[nextFree_] = static_cast<uint16_t>(length_[oldCode_] + 1);
            ++nextFree_;
            growCodeSize();
        } else if (code == nextFree_) {
            ended_ = corrupt_ = true;
            break;
        }
        produced += emit(code, out + produced, n - produced);
        oldCode_ = code;
    }
    return produced;
}

int GifDecoder::getNextGifByte() {
    unsigned char b;
    return read(&b, 1) == 1 ? b : -1;
}

bool GifDecoder::finish() {
    ended_ = true;
    pendingAt_ = pendingEnd_ = 0;
    if (!in_) return false;
    if (terminatorSeen_) return !eof_;
    terminatorSeen_ = true;
    eof_ = !skipGifBlocks(*in_);
    return !eof_;
}

}  // namespace gif
