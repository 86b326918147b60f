// Names of value representations, the dicom command's data dictionary and
// the text an element is shown with.
#include <charconv>
#include <cstring>

#include "formats/dicom.h"
#include "init/output.h"
#include "ramimage/byteorder.h"

namespace {

const char* const kVRNames[kDicomVRCount] = {"RT", "AE", "AS", "AT", "CS", "DA", "DS", "DT", "FL",
                                             "FD", "IS", "LO", "LT", "OB", "OW", "PN", "SH", "SL",
                                             "SQ", "SS", "ST", "TM", "UI", "UL", "UN", "US", "UT"};

enum VRCode {
    VR_RT = 0, VR_AE, VR_AS, VR_AT, VR_CS, VR_DA, VR_DS, VR_DT, VR_FL, VR_FD, VR_IS, VR_LO, VR_LT, VR_OB,
    VR_OW, VR_PN, VR_SH, VR_SL, VR_SQ, VR_SS, VR_ST, VR_TM, VR_UI, VR_UL, VR_UN, VR_US, VR_UT
};

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

std::string trimmed(std::string_view s) {
    size_t b = 0, e = s.size();
    while (b < e && isBlank(s[b])) ++b;
    while (e > b && isBlank(s[e - 1])) --e;
    return std::string(s.substr(b, e - b));
}

// The value as C text: it ends at the first NUL, as padding NULs do.
std::string_view asText(const DicomElement& e) {
    std::string_view v(e.value);
    size_t nul = v.find('\0');
    return nul == std::string_view::npos ? v : v.substr(0, nul);
}

bool parseDecimalByte(std::string_view s, uint8_t* out) {
    int v = 0;
    auto r = std::from_chars(s.data(), s.data() + s.size(), v);
    if (r.ec != std::errc() || r.ptr != s.data() + s.size() || v < 0 || v > 255) return false;
    *out = static_cast<uint8_t>(v);
    return true;
}

}  // namespace

const char* dicomVR(int code) { return (code >= 0 && code < kDicomVRCount) ? kVRNames[code] : "??"; }

int dicomID(const char* name) {
    if (!name) return 0;
    for (int i = 0; i < kDicomVRCount; ++i)
        if (std::strcmp(name, kVRNames[i]) == 0) return i;
    return 0;
}

bool parseDicomHex(std::string_view text, unsigned* out) {
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) text.remove_prefix(2);
    if (text.empty() || text.size() > 8) return false;
    unsigned v = 0;
    auto r = std::from_chars(text.data(), text.data() + text.size(), v, 16);
    if (r.ec != std::errc() || r.ptr != text.data() + text.size() || v > 0xFFFF) return false;
    *out = v;
    return true;
}

// ---- dictionary ---------------------------------------------------------------

bool DicomDictionary::add(const std::vector<std::string_view>& words) {
    if (words.size() != 6) return false;
    unsigned group, element;
    DicomDictEntry e;
    if (!parseDicomHex(words[0], &group) || !parseDicomHex(words[1], &element)) return false;
    if (!parseDecimalByte(words[3], &e.vmMin) || !parseDecimalByte(words[4], &e.vmMax)) return false;
    e.vr = static_cast<uint16_t>(dicomID(std::string(words[2]).c_str()));
    e.name = words[5];
    put(dicomKey(group, element), std::move(e));
    return true;
}

const DicomDictEntry* DicomDictionary::find(uint32_t key) const {
    auto it = entries_.find(key);
    return it == entries_.end() ? nullptr : &it->second;
}

std::string DicomDictionary::format(uint32_t key) const {
    const DicomDictEntry* e = find(key);
    if (!e) return {};
    const char* form = e->name.find(' ') != std::string::npos ? "%04x %04x %s %d %d \"%s\"" : "%04x %04x %s %d %d %s";
    return zarn::strPrintf(form, key >> 16, key & 0xFFFF, dicomVR(e->vr), e->vmMin, e->vmMax, e->name.c_str());
}

std::vector<std::string> DicomDictionary::index(int64_t from, int64_t to) const {
    std::vector<std::string> out;
    if (from < 0) from = 0;
    if (to < from || from >= static_cast<int64_t>(entries_.size())) return out;
    auto it = entries_.begin();
    std::advance(it, from);
    for (int64_t pos = from; pos <= to && it != entries_.end(); ++pos, ++it) out.push_back(format(it->first));
    return out;
}

// ---- element text -------------------------------------------------------------

int dicomElementVR(const DicomElement& e, const DicomDictionary* dict) {
    if (e.vr != 0) return e.vr;
    if (dict) {
        if (const DicomDictEntry* d = dict->find(e.key())) return d->vr;
    }
    return VR_RT;
}

std::string dicomValueText(int vr, const DicomElement& e) {
    switch (vr) {
    case VR_AS: case VR_CS: case VR_DA: case VR_DS: case VR_IS: case VR_LT:
    case VR_PN: case VR_SH: case VR_TM: case VR_UI: case VR_LO:
        return trimmed(asText(e));
    case VR_US:
        if (e.value.size() < 2) return {};
        return std::to_string(loadLE16(e.value.data()));
    case VR_AE: case VR_AT: case VR_DT: case VR_FL: case VR_FD: case VR_OB: case VR_OW:
    case VR_SL: case VR_SQ: case VR_SS: case VR_ST: case VR_UL: case VR_UN: case VR_UT:
        return dicomVR(vr);
    default:
        break;
    }
    // RT and codes outside the list: small numbers by their width, anything
    // else as printable characters.
    if (e.value.size() == 2) return std::to_string(loadLE16(e.value.data()));
    if (e.value.size() == 4) return std::to_string(static_cast<int32_t>(loadLE32(e.value.data())));
    std::string s(e.value);
    for (char& c : s) {
        auto u = static_cast<unsigned char>(c);
        if (u < 32 || u > 127) c = '.';
    }
    return trimmed(s);
}

DicomPrinted dicomPrint(const DicomElement& e, const DicomDictionary* dict) {
    DicomPrinted p;
    int vr = dicomElementVR(e, dict);
    p.vr = dicomVR(vr);
    const DicomDictEntry* d = dict ? dict->find(e.key()) : nullptr;
    p.name = d ? d->name : "??";
    p.value = dicomValueText(vr, e);
    return p;
}
