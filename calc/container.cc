#include "calc/container.h"

#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstring>

#include "ramimage/fileio.h"

namespace zarn {

namespace {

constexpr char kMagic[8] = {'S', 'C', 'R', 'B', 'C', 'O', 'M', 'P'};

// The key is a fixed permutation drawn once from a seeded generator, so every
// build reads the files every other build wrote.
constexpr std::array<uint8_t, 256> makeKey() {
    std::array<uint8_t, 256> t{};
    for (int i = 0; i < 256; ++i) t[i] = static_cast<uint8_t>(i);
    uint32_t s = 0x5a17c3e1u;
    for (int i = 255; i > 0; --i) {
        s ^= s << 13;
        s ^= s >> 17;
        s ^= s << 5;
        int j = static_cast<int>(s % static_cast<uint32_t>(i + 1));
        uint8_t v = t[i];
        t[i] = t[j];
        t[j] = v;
    }
    return t;
}

constexpr std::array<uint8_t, 256> kKey = makeKey();

constexpr bool isPermutation(const std::array<uint8_t, 256>& t) {
    bool seen[256] = {};
    for (uint8_t v : t) {
        if (seen[v]) return false;
        seen[v] = true;
    }
    return true;
}
static_assert(isPermutation(kKey));

// A header number: decimal digits, then a zero byte inside the field.
bool parseField(const uint8_t* field, int64_t* value) {
    int64_t v = 0;
    size_t i = 0;
    for (; i < kContainerFieldSize && field[i] != 0; ++i) {
        if (field[i] < '0' || field[i] > '9') return false;
        if (v > (int64_t(1) << 40)) return false;  // far beyond any limit
        v = v * 10 + (field[i] - '0');
    }
    if (i == 0 || i == kContainerFieldSize) return false;  // empty or not terminated
    *value = v;
    return true;
}

}  // namespace

const std::array<uint8_t, 256>& compScrambleTable() { return kKey; }

int compScramble(uint8_t* data, size_t n, int mode) {
    if (mode == 0) {
        for (size_t i = 0; i < n; ++i) data[i] = kKey[data[i]];
        return 1;
    }
    if (mode == 1) {
        uint8_t inverse[256];
        for (int i = 0; i < 256; ++i) inverse[kKey[i]] = static_cast<uint8_t>(i);
        for (size_t i = 0; i < n; ++i) data[i] = inverse[data[i]];
        return 0;
    }
    return mode;
}

bool isContainer(const uint8_t* data, size_t n) {
    return n >= sizeof kMagic && std::memcmp(data, kMagic, sizeof kMagic) == 0;
}

bool parseContainerHeader(const uint8_t* head, size_t headBytes, int64_t fileSize, ContainerHeader* out,
                          std::string* error) {
    if (headBytes < kContainerHeaderSize || !isContainer(head, headBytes)) {
        *error = "Truncated library header";
        return false;
    }
    ContainerHeader h;
    h.flag = head[kContainerFlagOffset];
    if (!parseField(head + kContainerPayloadField, &h.payloadLength) ||
        !parseField(head + kContainerScriptField, &h.scriptLength)) {
        *error = "Invalid library header";
        return false;
    }
    if (h.payloadLength < 1 || h.scriptLength < 1) {
        *error = "Invalid library header";
        return false;
    }
    if (h.payloadLength > fileSize - static_cast<int64_t>(kContainerHeaderSize)) {
        *error = "Library file is truncated";
        return false;
    }
    // deflate never expands by more than 1032 to 1; anything beyond is a lie.
    if (h.scriptLength > kContainerScriptMax || h.scriptLength > h.payloadLength * 1040 + 64) {
        *error = "Invalid script length in library header";
        return false;
    }
    *out = h;
    return true;
}

namespace {

ContainerResult decodePayload(const ContainerHeader& h, std::vector<uint8_t>& payload) {
    ContainerResult r;
    compScramble(payload.data(), payload.size(), h.flag == 1 ? 1 : 2);
    std::string script(static_cast<size_t>(h.scriptLength), '\0');
    uLongf got = static_cast<uLongf>(h.scriptLength);
    int z = ::uncompress(reinterpret_cast<Bytef*>(script.data()), &got, payload.data(),
                         static_cast<uLong>(payload.size()));
    if (z != Z_OK) {
        r.error = "Error in uncompress";
        r.zlibStatus = z;
        return r;
    }
    // The text must carry its terminator inside what was decompressed; like
    // the evaluation of a C string, it ends at the first zero byte.
    size_t end = script.find('\0');
    if (end == std::string::npos || end >= got) {
        r.error = "Error in uncompress";
        r.zlibStatus = Z_DATA_ERROR;
        return r;
    }
    script.resize(end);
    r.script = std::move(script);
    r.ok = true;
    return r;
}

}  // namespace

ContainerResult unpackContainer(const uint8_t* data, size_t n) {
    ContainerResult r;
    ContainerHeader h;
    if (!parseContainerHeader(data, n, static_cast<int64_t>(n), &h, &r.error)) return r;
    std::vector<uint8_t> payload(data + kContainerHeaderSize,
                                 data + kContainerHeaderSize + static_cast<size_t>(h.payloadLength));
    return decodePayload(h, payload);
}

ContainerResult readContainerFd(int fd) {
    ContainerResult r;
    int64_t size = fileSize(fd);
    uint8_t head[kContainerHeaderSize];
    int64_t got = readAt(fd, head, sizeof head, 0);
    if (size < 0 || got < 0) {
        r.error = "Error in reading";
        return r;
    }
    ContainerHeader h;
    if (!parseContainerHeader(head, static_cast<size_t>(got), size, &h, &r.error)) return r;
    std::vector<uint8_t> payload(static_cast<size_t>(h.payloadLength));
    if (readAt(fd, payload.data(), payload.size(), kContainerHeaderSize) != h.payloadLength) {
        r.error = "Error in reading";
        return r;
    }
    return decodePayload(h, payload);
}

std::vector<uint8_t> packContainer(std::string_view script, std::string* error, int* zlibStatus) {
    std::vector<uint8_t> out;
    // The stored text carries its terminator.
    auto length = addSize(static_cast<int64_t>(script.size()), 1);
    if (!length || *length > kContainerScriptMax) {
        *error = "Script too long";
        return out;
    }
    std::string text(script);
    uLong srcLen = static_cast<uLong>(*length);
    uLongf bound = ::compressBound(srcLen);
    out.resize(kContainerHeaderSize + bound);
    uLongf payloadLen = bound;
    int z = ::compress(out.data() + kContainerHeaderSize, &payloadLen,
                       reinterpret_cast<const Bytef*>(text.c_str()), srcLen);
    if (zlibStatus) *zlibStatus = z;
    if (z != Z_OK) {
        *error = "Error in compress";
        out.clear();
        return out;
    }
    out.resize(kContainerHeaderSize + payloadLen);
    std::memset(out.data(), 0, kContainerHeaderSize);
    std::memcpy(out.data(), kMagic, sizeof kMagic);
    out[kContainerFlagOffset] = static_cast<uint8_t>(compScramble(out.data() + kContainerHeaderSize, payloadLen, 0));
    std::string p = std::to_string(payloadLen), s = std::to_string(srcLen);
    std::memcpy(out.data() + kContainerPayloadField, p.data(), p.size());
    std::memcpy(out.data() + kContainerScriptField, s.data(), s.size());
    return out;
}

bool writeContainerFile(const char* path, std::string_view script, double* ratio, std::string* error) {
    std::vector<uint8_t> bytes = packContainer(script, error);
    if (bytes.empty()) return false;
    UniqueFd fd(::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    if (!fd) {
        *error = std::string("Error in open: ") + std::strerror(errno);
        return false;
    }
    if (!writeAt(fd.get(), bytes.data(), bytes.size(), 0)) {
        *error = std::string("Error in writing: ") + std::strerror(errno);
        fd.reset();
        ::unlink(path);
        return false;
    }
    if (::close(fd.release()) != 0) {
        *error = std::string("Error in writing: ") + std::strerror(errno);
        ::unlink(path);
        return false;
    }
    if (ratio) *ratio = static_cast<double>(bytes.size() - kContainerHeaderSize) / static_cast<double>(script.size() + 1);
    return true;
}

}  // namespace zarn
