// The tiff command: a tag-name dictionary the scripts load, and listings of
// the directory entries of a TIFF file or of an open TIFF image.
#include <fcntl.h>
#include <tcl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "init/tclresult.h"
#include "formats/tiffdir.h"
#include "init/modules.h"
#include "init/output.h"
#include "init/subcmd.h"
#include "ramimage/fileio.h"

namespace {

using TagNames = std::map<int, std::string>;

// One dictionary for the whole process, made on first use and dropped when
// the last tiff command is deleted, so that one interpreter going away never
// pulls it from under another.
std::unique_ptr<TagNames> gNames;
int gCommands = 0;

TagNames& names() {
    if (!gNames) gNames = std::make_unique<TagNames>();
    return *gNames;
}

const SubCommand kSubcommands[] = {{"add", 1}, {"count", 1}, {"data", 1}, {"get", 1}, {"index", 1}};
enum { SUB_ADD, SUB_COUNT, SUB_DATA, SUB_GET, SUB_INDEX };

// A whole decimal number in [lo, hi].
bool parseInt(const char* s, long lo, long hi, long* out) {
    if (!s || !*s) return false;
    errno = 0;
    char* end = nullptr;
    long v = std::strtol(s, &end, 10);
    if (errno || *end || v < lo || v > hi) return false;
    *out = v;
    return true;
}

std::string nameOf(int tag) {
    auto it = names().find(tag);
    return it == names().end() ? "??" : it->second;
}

std::string formatName(int tag, const std::string& name) {
    if (name.find(' ') != std::string::npos) return zarn::strPrintf("%d \"%s\"", tag, name.c_str());
    return zarn::strPrintf("%d %s", tag, name.c_str());
}

int addNames(Tcl_Interp* interp, int argc, const char** argv) {
    for (int i = 2; i < argc; ++i) {
        int n = 0;
        const char** words = nullptr;
        if (Tcl_SplitList(interp, argv[i], &n, &words) != TCL_OK) return silentError(interp);
        long tag = 0;
        bool ok = n == 2 && parseInt(words[0], 0, 65535, &tag);
        if (ok) names()[static_cast<int>(tag)] = words[1];
        Tcl_Free(reinterpret_cast<char*>(words));
        if (!ok) return silentError(interp);
    }
    setResult(interp, std::to_string(names().size()));
    return TCL_OK;
}

int getName(Tcl_Interp* interp, int argc, const char** argv) {
    long tag = 0;
    if (argc != 3 || !parseInt(argv[2], INT_MIN, INT_MAX, &tag)) return silentError(interp);
    auto it = names().find(static_cast<int>(tag));
    setResult(interp, it == names().end() ? std::string() : formatName(it->first, it->second));
    return TCL_OK;
}

int indexNames(Tcl_Interp* interp, int argc, const char** argv) {
    if (argc > 4) return silentError(interp);
    int from = 0;
    if (argc > 2 && Tcl_GetInt(interp, argv[2], &from) != TCL_OK) return TCL_ERROR;
    int to = from;
    if (argc > 3 && Tcl_GetInt(interp, argv[3], &to) != TCL_OK) return TCL_ERROR;
    Tcl_Obj* list = Tcl_NewListObj(0, nullptr);
    int pos = 0;
    for (const auto& [tag, name] : names()) {
        if (pos >= from && pos <= to) appendString(list, formatName(tag, name));
        if (++pos > to) break;
    }
    Tcl_SetObjResult(interp, list);
    return TCL_OK;
}

// ---- data --------------------------------------------------------------------

// The directories to list: those of an open TIFF image, or of the named file
// parsed into `owned` (with its descriptor in `ownedFd`).
struct Source {
    int fd = -1;
    const TiffDir* dir = nullptr;
    zarn::UniqueFd ownedFd;
    TiffDirPtr owned;
};

bool openSource(Tcl_Interp* interp, const char* name, Source& src) {
    RAMImage* img = getRAMImageByTag(name);
    if (!img) img = getRAMImageByName(name);
    if (img) {
        auto* info = dynamic_cast<const TiffInfo*>(img->privData.get());
        if (img->head.imgid != IMG_TIFF || img->fd < 0 || !info || !info->dir) {
            fail(interp, "Not a TIFF image");
            return false;
        }
        src.fd = img->fd;
        src.dir = info->dir.get();
        return true;
    }
    // Only read: an inspection must work on files the user may not write.
    src.ownedFd.reset(::open(name, O_RDONLY | O_CLOEXEC));
    if (!src.ownedFd) src.ownedFd.reset(::open(name, O_RDONLY | O_CLOEXEC));
    if (!src.ownedFd) {
        fail(interp, std::string("Error in open:") + name);
        return false;
    }
    if (getTiffHead(src.ownedFd.get(), nullptr) == 0) {
        fail(interp, "Not a TIFF image");
        return false;
    }
    src.owned = getTiffDir(src.ownedFd.get());
    if (!src.owned) {
        fail(interp, "Error in open TIFF image");
        return false;
    }
    src.fd = src.ownedFd.get();
    src.dir = src.owned.get();
    return true;
}

// The value column of the full listing: the inline value converted by its
// type when the entry's values can sit in the field, else the field itself.
std::string entryLine(const TiffEntry& e) {
    bool isShort = e.type == kTiffShort || e.type == kTiffSShort;
    bool fits = e.count <= 2 || (e.count <= 4 && !isShort);
    int64_t v = fits ? convertTiffOffsetLong(e.type, e.value) : static_cast<int64_t>(e.value);
    return zarn::strPrintf("%d %d %u %lld %s", e.tag, e.type, e.count, static_cast<long long>(v),
                           nameOf(e.tag).c_str());
}

// The name and the values of one entry.  Unsigned types print unsigned, so
// that offsets and counts above 2^31 read as other tools show them.
int entryValues(Tcl_Interp* interp, int fd, int order, const TiffEntry& e) {
    Tcl_Obj* list = Tcl_NewListObj(0, nullptr);
    appendString(list, nameOf(e.tag));
    const int t = e.type;
    if (e.count == 1 && t != kTiffRational && t != kTiffSRational && t != kTiffDouble) {
        if (t == kTiffFloat) {
            float f;
            std::memcpy(&f, &e.value, 4);
            appendString(list, zarn::strPrintf("%f", f));
        } else if (t != kTiffSByte) {
            long long v = t == kTiffSLong ? static_cast<int32_t>(e.value) : convertTiffOffsetLong(t, e.value);
            appendString(list, std::to_string(v));
        }
        Tcl_SetObjResult(interp, list);
        return TCL_OK;
    }
    std::vector<uint8_t> raw;
    if (tiffTypeSize(t) > 0 && !readTiffEntryBytes(fd, order, e, raw)) {
        Tcl_DecrRefCount(list);
        return fail(interp, zarn::strPrintf("Values of Tiff tag %d lie beyond the end of the file", e.tag));
    }
    const uint8_t* p = raw.data();
    const uint32_t n = e.count;
    switch (t) {
    case kTiffByte:
        for (uint32_t i = 0; i < n; ++i) appendString(list, std::to_string(p[i]));
        break;
    case kTiffAscii: {
        size_t len = ::strnlen(reinterpret_cast<const char*>(p), raw.size());
        appendString(list, std::string(reinterpret_cast<const char*>(p), len));
        break;
    }
    case kTiffUndefined:
        for (uint32_t i = 0; i < n; ++i) appendString(list, std::to_string(static_cast<int8_t>(p[i])));
        break;
    case kTiffShort:
    case kTiffSShort:
        for (uint32_t i = 0; i < n; ++i) {
            uint16_t v = tiffLoad16(p + 2 * size_t{i}, order);
            appendString(list, std::to_string(t == kTiffSShort ? int{static_cast<int16_t>(v)} : int{v}));
        }
        break;
    case kTiffLong:
    case kTiffSLong:
        for (uint32_t i = 0; i < n; ++i) {
            uint32_t v = tiffLoad32(p + 4 * size_t{i}, order);
            appendString(list, t == kTiffSLong ? std::to_string(static_cast<int32_t>(v)) : std::to_string(v));
        }
        break;
    case kTiffRational:
    case kTiffSRational:
        for (uint32_t i = 0; i < n; ++i) {
            uint32_t a = tiffLoad32(p + 8 * size_t{i}, order), b = tiffLoad32(p + 8 * size_t{i} + 4, order);
            if (t == kTiffSRational)
                appendString(list, zarn::strPrintf("%d %d", static_cast<int32_t>(a), static_cast<int32_t>(b)));
            else
                appendString(list, zarn::strPrintf("%u %u", a, b));
        }
        break;
    case kTiffFloat:
        for (uint32_t i = 0; i < n; ++i) appendString(list, zarn::strPrintf("%f", tiffLoadFloat(p + 4 * size_t{i}, order)));
        break;
    case kTiffDouble:
        for (uint32_t i = 0; i < n; ++i)
            appendString(list, zarn::strPrintf("%f", tiffLoadDouble(p + 8 * size_t{i}, order)));
        break;
    default: break;  // SBYTE and unknown types show the name only
    }
    Tcl_SetObjResult(interp, list);
    return TCL_OK;
}

int listDirectory(Tcl_Interp* interp, const Source& src, int volume, const char* tagWord) {
    const TiffIFD* ifd = src.dir->ifds[static_cast<size_t>(volume - 1)].get();
    if (!tagWord) {
        Tcl_Obj* list = Tcl_NewListObj(0, nullptr);
        for (const TiffEntry& e : ifd->entries) appendString(list, entryLine(e));
        Tcl_SetObjResult(interp, list);
        return TCL_OK;
    }
    long tag = 0;
    if (!parseInt(tagWord, 0, 65535, &tag)) return fail(interp, "Syntax error");
    const TiffEntry* e = findTiffEntry(ifd, static_cast<int>(tag));
    if (!e) {
        Tcl_ResetResult(interp);
        return TCL_OK;
    }
    return entryValues(interp, src.fd, src.dir->byteOrder, *e);
}

int dataOf(Tcl_Interp* interp, int argc, const char** argv) {
    if (argc < 3) return fail(interp, std::string("Usage: ") + argv[0] + " data imgid ?option?");
    if (argc > 6) return silentError(interp);
    bool volumeForm = argc >= 4 && std::strcmp(argv[3], "-volume") == 0;
    if (argc >= 5 && !volumeForm) return fail(interp, "Syntax error");
    Source src;
    if (!openSource(interp, argv[2], src)) return TCL_ERROR;
    if (argc == 3) return listDirectory(interp, src, 1, nullptr);
    if (!volumeForm) return listDirectory(interp, src, 1, argv[3]);
    if (argc == 4) {
        setResult(interp, std::to_string(src.dir->ndirs));
        return TCL_OK;
    }
    long volume = 0;
    if (!parseInt(argv[4], 1, src.dir->ndirs, &volume)) return fail(interp, "Invalid TIFF volume");
    return listDirectory(interp, src, static_cast<int>(volume), argc == 6 ? argv[5] : nullptr);
}

// tiff add|count|data|get|index ...: the dictionary subcommands return and
// change the process-wide tag names; data returns directory listings and
// changes nothing.
int tiffCmd(ClientData, Tcl_Interp* interp, int argc, const char** argv) {
    try {
        if (argc < 2) return fail(interp, std::string("Usage: ") + argv[0] + " option");
        switch (matchSubcommand(kSubcommands, std::size(kSubcommands), argv[1])) {
        case SUB_ADD: return addNames(interp, argc, argv);
        case SUB_COUNT:
            setResult(interp, std::to_string(names().size()));
            return TCL_OK;
        case SUB_DATA: return dataOf(interp, argc, argv);
        case SUB_GET: return getName(interp, argc, argv);
        case SUB_INDEX: return indexNames(interp, argc, argv);
        default: return silentError(interp);
        }
    } catch (const std::exception& e) {
        return fail(interp, std::string("tiff: ") + e.what());
    } catch (...) {
        return fail(interp, "tiff: internal error");
    }
}

void tiffDeleteProc(ClientData) {
    if (--gCommands <= 0) {
        gCommands = 0;
        gNames.reset();
    }
}

}  // namespace

int Tiff_Init(Tcl_Interp* interp) {
    if (!Tcl_CreateCommand(interp, "tiff", tiffCmd, nullptr, tiffDeleteProc)) return TCL_ERROR;
    ++gCommands;
    return TCL_OK;
}
