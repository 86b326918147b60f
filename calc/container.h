// The script library container ("SCRBCOMP"): a Tcl script compressed as one
// zlib stream and scrambled through a fixed byte substitution, behind a
// 33-byte text header.  Reader and writer live in the Tcl-free core so the
// build-time packer, the unit tests and the fuzz target share them.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zarn {

constexpr size_t kContainerHeaderSize = 33;
constexpr size_t kContainerFlagOffset = 8;
constexpr size_t kContainerPayloadField = 9;
constexpr size_t kContainerScriptField = 21;
constexpr size_t kContainerFieldSize = 12;
// Largest script a library may hold (terminator included).  Real libraries
// are a few hundred kilobytes; the limit keeps a hostile header from asking
// for gigabytes.
constexpr int64_t kContainerScriptMax = int64_t(64) << 20;

// The substitution key of the payload (a permutation of 0..255).
const std::array<uint8_t, 256>& compScrambleTable();

// Mode 0 substitutes every byte through the key and returns 1 (the flag
// written to the header); mode 1 applies the inverse and returns 0; any other
// mode leaves the bytes alone and returns the mode.
int compScramble(uint8_t* data, size_t n, int mode);

// True when the bytes begin with the container magic.
bool isContainer(const uint8_t* data, size_t n);

struct ContainerHeader {
    int flag = 0;
    int64_t payloadLength = 0;
    int64_t scriptLength = 0;  // terminator included
};

// Parses and validates the header against the size of the whole file:
// decimal, positive, zero-terminated fields; the payload within the file; the
// script length within kContainerScriptMax and what zlib can expand the
// payload to.  On failure returns false with a message in *error.
bool parseContainerHeader(const uint8_t* head, size_t headBytes, int64_t fileSize, ContainerHeader* out,
                          std::string* error);

struct ContainerResult {
    bool ok = false;
    std::string script;  // without the stored terminator
    std::string error;   // message of a failure
    int zlibStatus = 0;  // zlib's code when decompression failed
};

// Decodes a whole container held in memory.
ContainerResult unpackContainer(const uint8_t* data, size_t n);
// Reads and decodes the container file open on fd (read with pread; the
// descriptor's position is not used).
ContainerResult readContainerFd(int fd);

// Builds the container bytes of a script (the terminator is stored).  Empty
// with a message in *error when compression fails.
std::vector<uint8_t> packContainer(std::string_view script, std::string* error, int* zlibStatus = nullptr);

// Writes a container file (created with permission 0600 or truncated).
// *ratio receives payload length / script length.  False with a message in
// *error on failure; the file is removed again when writing failed half way.
bool writeContainerFile(const char* path, std::string_view script, double* ratio, std::string* error);

}  // namespace zarn
