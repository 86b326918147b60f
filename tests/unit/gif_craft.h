// Hand-made GIF streams for the GIF tests: an LZW encoder that follows the
// usual encoder rules (code size checked after every code, clear when the
// table is full), a raw code packer for deliberately broken streams, and a
// file builder.
#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace gifcraft {

using Bytes = std::vector<unsigned char>;

// Packs codes of the given widths least significant bit first.
class BitPacker {
public:
    void put(int code, int bits) {
        acc_ |= uint64_t(code) << n_;
        n_ += bits;
        while (n_ >= 8) {
            out.push_back(static_cast<unsigned char>(acc_));
            acc_ >>= 8;
            n_ -= 8;
        }
    }
    Bytes finish() {
        if (n_ > 0) out.push_back(static_cast<unsigned char>(acc_));
        n_ = 0;
        acc_ = 0;
        return out;
    }
    Bytes out;

private:
    uint64_t acc_ = 0;
    int n_ = 0;
};

inline Bytes lzwEncode(const Bytes& px, int minCode) {
    const int clear = 1 << minCode, end = clear + 1;
    int next = clear + 2, bits = minCode + 1;
    std::map<int, int> dict;
    BitPacker w;
    auto out = [&](int code) {
        w.put(code, bits);
        if (next >= (1 << bits) && bits < 12) ++bits;
    };
    w.put(clear, bits);
    if (px.empty()) {
        w.put(end, bits);
        return w.finish();
    }
    int cur = px[0];
    for (size_t i = 1; i < px.size(); ++i) {
        int key = (cur << 8) | px[i];
        auto it = dict.find(key);
        if (it != dict.end()) {
            cur = it->second;
            continue;
        }
        out(cur);
        cur = px[i];
        if (next >= 4095) {
            w.put(clear, bits);
            dict.clear();
            next = clear + 2;
            bits = minCode + 1;
        } else {
            dict[key] = next++;
        }
    }
    out(cur);
    w.put(end, bits);
    return w.finish();
}

// Data bytes cut into sub-blocks of `size` bytes, with the terminator.
inline Bytes subBlocks(const Bytes& data, int size = 255) {
    Bytes b;
    for (size_t i = 0; i < data.size(); i += size) {
        size_t n = std::min<size_t>(size, data.size() - i);
        b.push_back(static_cast<unsigned char>(n));
        b.insert(b.end(), data.begin() + i, data.begin() + i + n);
    }
    b.push_back(0);
    return b;
}

inline void put16(Bytes& b, int v) {
    b.push_back(static_cast<unsigned char>(v & 0xff));
    b.push_back(static_cast<unsigned char>((v >> 8) & 0xff));
}

// Builds a file block by block.
struct GifFile {
    Bytes b;
    // Header and logical screen; a global table of 2^(sizeField+1) grey
    // levels when sizeField >= 0.
    GifFile(int w, int h, int sizeField = 2, bool v89 = true, int background = 0) {
        const char* sig = v89 ? "GIF89a" : "GIF87a";
        b.assign(sig, sig + 6);
        put16(b, w);
        put16(b, h);
        b.push_back(static_cast<unsigned char>(sizeField >= 0 ? 0x80 | sizeField : 0));
        b.push_back(static_cast<unsigned char>(background));
        b.push_back(0);
        if (sizeField >= 0) table(sizeField, 0);
    }
    void table(int sizeField, int shade) {
        int n = 2 << sizeField;
        for (int i = 0; i < n; ++i)
            for (int c = 0; c < 3; ++c) b.push_back(static_cast<unsigned char>(i * 3 + c + shade));
    }
    void gce(int disposal, int delay, int transparent = -1) {
        b.insert(b.end(), {0x21, 0xF9, 4});
        b.push_back(static_cast<unsigned char>((disposal << 2) | (transparent >= 0 ? 1 : 0)));
        put16(b, delay);
        b.push_back(static_cast<unsigned char>(transparent >= 0 ? transparent : 0));
        b.push_back(0);
    }
    // An image with pixels in stored order (interlaced files store the rows
    // pass by pass).
    void image(int left, int top, int w, int h, const Bytes& px, int minCode = 2, int flags = 0,
               int localSizeField = -1, int blockSize = 255) {
        descriptor(left, top, w, h, flags, localSizeField);
        b.push_back(static_cast<unsigned char>(minCode));
        Bytes d = subBlocks(lzwEncode(px, minCode), blockSize);
        b.insert(b.end(), d.begin(), d.end());
    }
    void descriptor(int left, int top, int w, int h, int flags = 0, int localSizeField = -1) {
        b.push_back(',');
        put16(b, left);
        put16(b, top);
        put16(b, w);
        put16(b, h);
        if (localSizeField >= 0) flags |= 0x80 | localSizeField;
        b.push_back(static_cast<unsigned char>(flags));
        if (localSizeField >= 0) table(localSizeField, 100);
    }
    void raw(const Bytes& more) { b.insert(b.end(), more.begin(), more.end()); }
    void trailer() { b.push_back(';'); }
};

}  // namespace gifcraft
