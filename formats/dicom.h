// DICOM data sets: the element table that the reader builds from a file, the
// value-representation names, the user-loaded data dictionary of the dicom
// command and the text forms the command prints.  Tcl-free, so the unit tests
// and the fuzz target reach all of it.
#pragma once
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "ramimage/ramimage.h"

// Value representation codes; the index is the code.  Codes outside 0..26
// are named "??".  RT (0) stands for "neither the file nor the dictionary
// says".
constexpr int kDicomVRCount = 27;
const char* dicomVR(int code);
// Code of a VR name, 0 when the name is not in the list.
int dicomID(const char* name);
// Code a file's explicit VR gets when it is not one of the 27 (OF, UR, ...).
constexpr int kDicomVROther = 255;

constexpr uint32_t kDicomUndefinedLength = 0xFFFFFFFFu;

inline uint32_t dicomKey(unsigned group, unsigned element) {
    return (static_cast<uint32_t>(group & 0xFFFF) << 16) | (element & 0xFFFF);
}

// One element of a data set.  Records nested in sequences are kept in the
// chain of the top-level record that precedes them, in file order.
struct DicomElement {
    uint16_t group = 0;
    uint16_t element = 0;
    uint32_t length = 0;     // the length field as read
    int vr = 0;              // VR code the file gave (explicit VR), 0 when none
    std::string value;       // the value bytes kept (c_str() ends them with a NUL)
    std::vector<DicomElement> chain;

    uint32_t key() const { return dicomKey(group, element); }
};

// The element table, also the private data of a DICOM RAM image.
class DicomTable : public HandlerData {
public:
    std::unordered_map<uint32_t, std::unique_ptr<DicomElement>> elements;
    int64_t pixelOffset = -1;     // file offset of the Pixel Data value, -1 when none
    uint32_t pixelLength = 0;     // its length field
    bool compressed = false;      // the transfer syntax or the pixel data is encapsulated

    std::vector<uint32_t> sortedKeys() const;
    size_t size() const { return elements.size(); }
};

// Outcome of reading a file's element table.
enum class DicomParse {
    NotDicom,     // not a data set of a kind this reader knows
    Unsupported,  // a DICOM file this reader refuses (reason given)
    Ok
};

// Reads the element table of the data set in fd (pread only: the position
// never moves).  On Ok the table is in `out`; on Unsupported `why` holds a
// message line for the user.
DicomParse parseDicom(int fd, std::unique_ptr<DicomTable>& out, std::string* why = nullptr);

// The element table of fd, or null when the file is not accepted; the Pixel
// Data value's offset goes to *dataOffset (-1 when the set has none).
std::unique_ptr<DicomTable> getDicomHashTable(int fd, int64_t* dataOffset);
const DicomElement* getDicomEntry(const DicomTable& table, unsigned group, unsigned element);
// Inserts or replaces the record under its key; true when the key was new.
bool putToDicomHashTable(DicomTable& table, std::unique_ptr<DicomElement> record);

// ---- data dictionary ---------------------------------------------------------

struct DicomDictEntry {
    uint16_t vr = 0;
    uint8_t vmMin = 0;
    uint8_t vmMax = 0;
    std::string name;
};

// The dictionary the dicom command keeps, ordered by key.
class DicomDictionary {
public:
    // Parses one "add" description already split into its six words; false
    // (nothing changed) when a word is malformed.
    bool add(const std::vector<std::string_view>& words);
    void put(uint32_t key, DicomDictEntry entry) { entries_[key] = std::move(entry); }
    const DicomDictEntry* find(uint32_t key) const;
    size_t count() const { return entries_.size(); }
    // "%04x %04x %s %d %d %s", the name in double quotes when it holds a space.
    std::string format(uint32_t key) const;
    // Entries at positions from..to in key order (those that exist).
    std::vector<std::string> index(int64_t from, int64_t to) const;

private:
    std::map<uint32_t, DicomDictEntry> entries_;
};

// Parses a 16-bit hexadecimal word ("0008", "7fe0", "0x0010"); false when it
// is not one.
bool parseDicomHex(std::string_view text, unsigned* out);

// The VR an element is shown with: the file's own, else the dictionary's,
// else RT.
int dicomElementVR(const DicomElement& e, const DicomDictionary* dict);
// Value text of an element shown with VR `vr`, leading and trailing spaces
// removed.  Only the bytes of the value are looked at.
std::string dicomValueText(int vr, const DicomElement& e);

// The three list words printed for an element (VR name, dictionary name,
// value text).
struct DicomPrinted {
    std::string vr, name, value;
};
DicomPrinted dicomPrint(const DicomElement& e, const DicomDictionary* dict);
