// The rimage command: opens, creates, configures, lists, caches, locks and
// closes RAM images, reads and writes their colour tables, selects volumes,
// reports histograms, and dispatches the processing applications.
#include <tcl.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "init/tclresult.h"
#include "apps/entries.h"
#include "init/modules.h"
#include "init/subcmd.h"
#include "ramimage/byteorder.h"
#include "ramimage/hist.h"
#include "ramimage/ramimage.h"
#include "rimage/datarange.h"
#include "rimage/headopts.h"
#include "rimage/rimage.h"
#include "rimage/routed.h"

namespace {

using Argv = const char**;

enum Sub {
    S_CACHE, S_CALC, S_CGET, S_CLASSIFY, S_CLIPBOARD, S_CREATE, S_CONFIGURE, S_COPY, S_CROP, S_CLOSE, S_CANVAS,
    S_DATA, S_DIST, S_DRAW, S_EGV,
    S_GFFTRANS, S_GCONV, S_GEOREF, S_GISOC, S_GETINDICES, S_GSTAT, S_GTOP, S_GDEM,
    S_HIST, S_ISVALID, S_LIST, S_LOCK, S_OPEN, S_PCALC, S_PTABLE, S_BIND,
    S_RESIDENT, S_RFORM, S_ROTATE, S_SMETRIC, S_SECTION, S_SETINDICES, S_STATINFO,
    S_TRANS, S_UNLOCK, S_UPDATE, S_VOLUME, S_WINDOW
};

// In matching order: first letter, then these entries in turn.
const SubCommand kSubs[] = {
    {"cache", 4},     {"calc", 4},     {"cget", 4},      {"classify", 4},  {"clipboard", 4}, {"create", 4},
    {"configure", 4}, {"copy", 4},     {"crop", 4},      {"close", 4},     {"canvas", 4},    {"data", 3},
    {"dist", 3},      {"draw", 3},     {"egv", 3},       {"gfftrans", 3},  {"gconv", 3},     {"georef", 3},
    {"gisoc", 3},     {"getIndices", 3}, {"gstat", 3},   {"gtop", 3},      {"gdem", 3},      {"hist", 2},
    {"isvalid", 2},   {"list", 2},     {"lock", 2},      {"open", 3},      {"pcalc", 1},     {"ptable", 1},
    {"bind", 2},      {"resident", 2}, {"rform", 2},     {"rotate", 2},    {"smetric", 2},   {"section", 2},
    {"setIndices", 1}, {"statinfo", 1}, {"trans", 2},    {"unlock", 2},    {"update", 2},    {"volume", 1},
    {"window", 1},
};
static_assert(sizeof kSubs / sizeof kSubs[0] == S_WINDOW + 1);

const char kHelp[] =
    "Commands: cache calc canvas cget classify clipboard close configure copy create crop data dist draw egv "
    "gconv gdem georef getIndices gisoc gfftrans gstat gtop hist isvalid list lock open pcalc ptable resident "
    "rform rotate section setIndices smetric statinfo trans tiff unlock update volume window";

struct AppRoute {
    Sub sub;
    AppEntry entry;
    const char* prog;
};

const AppRoute kApps[] = {
    {S_CALC, rimgCalcAp, "rimage calc"},         {S_CLASSIFY, classifyAp, "rimage classify"},
    {S_COPY, cropRimgAp, "rimage copy"},         {S_CROP, cropRimgAp, "rimage crop"},
    {S_DATA, dataRimgAp, "rimage data"},         {S_DIST, gdistAp, "rimage dist"},
    {S_EGV, egvAp, "rimage egv"},                {S_GFFTRANS, gFFTransAp, "rimage gfftrans"},
    {S_GCONV, gconvAp, "rimage gconv"},          {S_GEOREF, georefRimgAp, "rimage georef"},
    {S_GISOC, gisoAp, "rimage gisoc"},           {S_GSTAT, statRimgAp, "rimage gstat"},
    {S_GTOP, gtopAp, "rimage gtop"},             {S_GDEM, gdemAp, "rimage gdem"},
    {S_PCALC, pcalcAp, "rimage pcalc"},          {S_PTABLE, gptableApp, "rimage ptable"},
    {S_RFORM, rfmRimgAp, "rimage rform"},        {S_ROTATE, gRotateAp, "rimage rotate"},
    {S_SECTION, sectRimgAp, "rimage section"},   {S_SMETRIC, sysMetricAp, "rimage smetric"},
    {S_STATINFO, statInfoAp, "rimage statinfo"}, {S_TRANS, copyRimgAp, "rimage trans"},
};

// Adds a store error's text to the error information, then leaves `msg`.
int storeError(Tcl_Interp* interp, int code, const std::string& msg) {
    Tcl_ResetResult(interp);
    const char* text = ramimgError(code);
    if (*text) Tcl_AddErrorInfo(interp, text);
    return fail(interp, msg);
}

std::string usage(Argv argv, const char* rest) { return std::string("Usage: ") + argv[0] + " " + argv[1] + rest; }

RAMImage* findImage(const char* id) {
    RAMImage* img = getRAMImageByTag(id);
    return img ? img : getRAMImageByName(id);
}

// An image found by tag or file name, or opened from the file; `opened` tells
// the caller to close it again.
RAMImage* findOrOpen(const char* id, bool* opened, int* err) {
    *opened = false;
    *err = 0;
    if (RAMImage* img = findImage(id)) return img;
    RAMImage* img = openRAMImage(nullptr, id, nullptr, nullptr, err);
    *opened = img != nullptr;
    return img;
}

const int kMemoryTypes[] = {IMG_MBIL, IMG_MBSQ, IMG_MBIP, IMG_MRGB32, IMG_MRGB24,
                            IMG_MRGB565, IMG_MRGB555, IMG_MRGB8, IMG_MRGB4, IMG_MRGB1};

// The geometry the packed display types impose.
void fixDisplayGeometry(ImageHead& h) {
    const int64_t c = h.columns;
    switch (h.imgid) {
    case IMG_MRGB32: h.nbands = 4, h.pixel = PIX_BYTE, h.block = static_cast<int>(c * 4); break;
    case IMG_MRGB24: h.nbands = 3, h.pixel = PIX_BYTE, h.block = static_cast<int>((c * 24 + 31) / 32 * 4); break;
    case IMG_MRGB565:
    case IMG_MRGB555: h.nbands = 3, h.pixel = PIX_BYTE, h.block = static_cast<int>((c + 1) / 2 * 4); break;
    case IMG_MRGB8:
        h.nbands = 1, h.nindices = 256, h.pixel = PIX_BYTE, h.block = static_cast<int>((c + 3) / 4 * 4);
        break;
    case IMG_MRGB4:
        h.nbands = 1, h.nindices = 16, h.pixel = PIX_4BITS, h.block = static_cast<int>((c + 7) / 8 * 4);
        break;
    case IMG_MRGB1:
        h.nbands = 1, h.nindices = 2, h.pixel = PIX_1BIT, h.block = static_cast<int>((c + 31) / 32 * 4);
        break;
    default: return;
    }
    h.bits = pixelBits(h.pixel);
}

// ---- open ------------------------------------------------------------------
int openCmd(ImageHead* def, Tcl_Interp* interp, int argc, Argv argv) {
    if (argc < 3) {
        return fail(interp, openUsage(argv));
    }
    ImageHead h = *def;
    RAMImage* img = getRAMImageByName(argv[2]);
    if (!img) img = getRAMImageByTag(argv[2]);
    int err = 0;
    if (argc == 3) {
        if (!img) {
            if (argv[2][0] == '@') {
                img = openRAMImage(argv[2], h.file, &h, nullptr, &err);
                if (!img)
                    return storeError(interp, err, std::string("Error in open ") + argv[2] + " with file: " + h.file +
                                                       " of " + strImgID(h.imgid));
            } else {
                img = openRAMImage(nullptr, argv[2], nullptr, nullptr, &err);
                if (!img) {
                    int saved = err;
                    img = rimgOpenTkPhoto(interp, argv[2]);
                    if (!img) return storeError(interp, saved, std::string("Error in open ") + argv[2]);
                }
            }
            if (img->openCount > 0) --img->openCount;
        }
        ++img->cmdOpens;
        Tcl_SetObjResult(interp, Tcl_NewStringObj(img->tag, -1));
        return TCL_OK;
    }

    int type = parseImgID(argv[3]);
    bool known = false;
    for (int t : kMemoryTypes) known |= t == type;
    if (!known) return fail(interp, "Invalid image ID for a memory resident rimage.\n");
    if (img && img->head.imgid != type) return fail(interp, "Incompatible rimage ID.\n");
    if (!(img && argc == 4)) {
        bool tableFromTemplate = false;
        if ((argc == 5 || argc == 6) && argv[4][0] != '-') {
            bool opened;
            RAMImage* t = findOrOpen(argv[4], &opened, &err);
            if (!t) return fail(interp, std::string("Fail to open the template: ") + argv[4]);
            h = t->head;
            tableFromTemplate = t->head.nindices > 0;
            DataRange r{};
            bool rangeOk = argc != 6 || parseDataRange(argv[5], t->head.columns, t->head.rows, t->head.nbands, &r);
            if (opened) closeRAMImage(t, nullptr);
            if (!rangeOk) return fail(interp, "Invalid data range");
            if (argc == 6) {
                h.columns = std::abs(r.col1 - r.col0) + 1;
                h.rows = std::abs(r.row1 - r.row0) + 1;
                h.nbands = std::abs(r.band1 - r.band0) + 1;
            }
        } else if (argc >= 5) {
            if (img) h = img->head;
            h.imgid = type;
            if (configureHead(interp, &h, argc - 4, argv + 4) != TCL_OK) return TCL_ERROR;
            if (h.imgid != type) return fail(interp, "conflicting -imgid option");
        }
        h.imgid = type;
        fixDisplayGeometry(h);
        if (!tableFromTemplate && h.nindices > 0) {
            int n = std::min(h.nindices, 256);
            for (int i = 0; i < n; ++i) {
                auto v = static_cast<unsigned char>(n > 1 ? static_cast<int>(static_cast<double>(i) / (n - 1) * 255) : 0);
                h.colorTable[i][0] = h.colorTable[i][1] = h.colorTable[i][2] = v;
            }
        }
        h.transparent = h.transparent < 0 ? -1 : h.transparent;
        if (!setHeadFile(h, argv[2]) || checkImageGeometry(h) != 0)
            return storeError(interp, checkImageGeometry(h) ? RAMERR_GEOMETRY : RAMERR_OPEN,
                              "Error in creating a new memory resident rimage.\n");
        RAMImage* made = openRAMImage(argv[2], nullptr, &h, nullptr, &err);
        if (!made) return storeError(interp, err, "Error in creating a new memory resident rimage.\n");
        img = made;
        setHeadFile(img->head, argv[2]);
        if (img->openCount > 0) --img->openCount;
        RAMImagePin pin(img);
        ++img->cmdOpens;
        updateClient(img, nullptr, RIMG_CONFIG);
        Tcl_SetObjResult(interp, Tcl_NewStringObj(img->tag, -1));
        return TCL_OK;
    }
    ++img->cmdOpens;
    Tcl_SetObjResult(interp, Tcl_NewStringObj(img->tag, -1));
    return TCL_OK;
}

// ---- close, list -----------------------------------------------------------
int closeCmd(Tcl_Interp* interp, int argc, Argv argv) {
    if (argc != 3) return fail(interp, usage(argv, " TAG | FILE"));
    RAMImage* img = findImage(argv[2]);
    if (!img) return fail(interp, std::string("Not found RAMIMG:") + argv[2]);
    if (img->cmdOpens < 1) return fail(interp, "Unmatched close.\n");
    --img->cmdOpens;
    int remaining = img->cmdOpens;  // read before the image may go
    closeRAMImage(img, nullptr);
    Tcl_SetObjResult(interp, Tcl_NewIntObj(remaining));
    return TCL_OK;
}

int listCmd(Tcl_Interp* interp, int argc, Argv argv) {
    if (argc > 3) return fail(interp, usage(argv, " ?options?"));
    std::string mode = argc == 3 ? argv[2] : "pair";
    if (mode != "pair" && mode != "name" && mode != "tag" && mode != "all") return fail(interp, "Invalid option.\n");
    std::string out;
    for (RAMImage* p = getRAMImage(); p; p = p->next) {
        Tcl_DString ds;
        Tcl_DStringInit(&ds);
        if (mode == "pair" || mode == "all") {
            Tcl_DStringStartSublist(&ds);
            Tcl_DStringAppendElement(&ds, p->tag);
            Tcl_DStringAppendElement(&ds, p->head.file);
            if (mode == "all") {
                int nclients = 0;
                for (RAMImageClient* c = p->clients; c; c = c->next) ++nclients;
                for (int v : {p->cmdOpens, p->openCount, nclients})
                    Tcl_DStringAppendElement(&ds, std::to_string(v).c_str());
            }
            Tcl_DStringEndSublist(&ds);
        } else {
            Tcl_DStringAppendElement(&ds, mode == "tag" ? p->tag : p->head.file);
        }
        out.append(Tcl_DStringValue(&ds), static_cast<size_t>(Tcl_DStringLength(&ds)));
        // Tcl_DStringAppendElement started with no separator: the element
        // ends with one blank, as every entry does.
        out += ' ';
        Tcl_DStringFree(&ds);
    }
    setResult(interp, out);
    return TCL_OK;
}

// ---- configure, cget, create -------------------------------------------------
int reconfigure(Tcl_Interp* interp, RAMImage* img, int argc, Argv argv) {
    ImageHead h = img->head;
    if (configureHead(interp, &h, argc, argv) != TCL_OK) return TCL_ERROR;
    if (img->locked()) return fail(interp, "Can't config a locked RAMIMG.\n");
    RAMImagePin pin(img);
    bool sameFile = std::strncmp(h.file, img->head.file, kNameMax) == 0;
    if (img->fd >= 0 && sameFile && std::memcmp(&h, &img->head, sizeof h) == 0) return TCL_OK;
    deleteHist(img);
    int err = 0;
    RAMImage* r;
    if (img->fd >= 0 && !sameFile && !isMemoryImageType(h.imgid)) {
        // Another file: its own header describes it; a file without one
        // takes the options given.
        r = createRAMImage(h.file, nullptr, img, &err);
        if (!r && err == RAMERR_TYPE) r = createRAMImage(h.file, &h, img, &err);
    } else {
        r = updateRAMImage(h.file, &h, img, &err);
    }
    if (!r) return storeError(interp, err, std::string("Update ramimg error in open file: ") + h.file);
    if (img->fd < 0) setRAMImageBuf(img, img->head.rows);
    updateClient(img, nullptr, RIMG_CONFIG);
    Tcl_ResetResult(interp);
    return TCL_OK;
}

int configureCmd(ImageHead* def, Tcl_Interp* interp, int argc, Argv argv) {
    if (argc == 2) return headConfigInfo(interp, def, nullptr);
    if (argv[2][0] == '-') {
        if (argc == 3) return headConfigInfo(interp, def, argv[2]);
        return configureHead(interp, def, argc - 2, argv + 2);
    }
    RAMImage* img = getRAMImageByTag(argv[2]);
    if (!img) return fail(interp, std::string("Not found the ramimg tagged by: ") + argv[2]);
    if (argc <= 4) {
        ImageHead copy = img->head;
        return headConfigInfo(interp, &copy, argc == 4 ? argv[3] : nullptr);
    }
    return reconfigure(interp, img, argc - 3, argv + 3);
}

int cgetCmd(ImageHead* def, Tcl_Interp* interp, int argc, Argv argv) {
    if (argc == 3 && argv[2][0] == '-') return headConfigValue(interp, def, argv[2]);
    if (argc != 4) return fail(interp, usage(argv, " [TAG] option"));
    bool opened;
    int err;
    RAMImage* img = findOrOpen(argv[2], &opened, &err);
    if (!img) return storeError(interp, err, std::string("Error in open ") + argv[2]);
    ImageHead copy = img->head;
    if (opened) closeRAMImage(img, nullptr);
    return headConfigValue(interp, &copy, argv[3]);
}

int createCmd(ImageHead* def, Tcl_Interp* interp, int argc, Argv argv) {
    int first = 2;
    bool overwrite = false;
    if (argc > 2 && argv[2][0] != '-') {
        overwrite = std::strcmp(argv[2], "0") != 0;
        first = 3;
    }
    if (argc > first && configureHead(interp, def, argc - first, argv + first) != TCL_OK) return TCL_ERROR;
    if (isMemoryImageType(def->imgid)) return fail(interp, "Can't create a memory resident image on disk.\n");
    if (!overwrite && access(def->file, F_OK) == 0) return fail(interp, "Image file already exists");
    Tcl_SetObjResult(interp, Tcl_NewIntObj(createImage(def) < 0 ? 0 : 1));
    return TCL_OK;
}

// ---- cache, resident, lock, update, volume ------------------------------------
int cacheCmd(Tcl_Interp* interp, int argc, Argv argv) {
    std::string usageText = usage(argv, " [-imgid idList] [-pct PCT]");
    auto report = [](std::string& out, RAMImage* p) {
        char buf[64];
        std::snprintf(buf, sizeof buf, " %.2f} ", p->head.rows > 0 ? 100.0 * p->cacheLines / p->head.rows : 0.0);
        Tcl_DString ds;
        Tcl_DStringInit(&ds);
        Tcl_DStringAppendElement(&ds, p->tag);
        out += "{";
        out += Tcl_DStringValue(&ds);
        out += buf;
        Tcl_DStringFree(&ds);
    };
    std::string out;
    if (argc == 2) {
        for (RAMImage* p = getRAMImage(); p; p = p->next) report(out, p);
        setResult(interp, out);
        return TCL_OK;
    }
    const char* ids = nullptr;
    const char* pct = nullptr;
    if ((argc - 2) % 2) return fail(interp, usageText);
    for (int i = 2; i < argc; i += 2) {
        if (std::strcmp(argv[i], "-imgid") == 0 && !ids)
            ids = argv[i + 1];
        else if (std::strcmp(argv[i], "-pct") == 0 && !pct)
            pct = argv[i + 1];
        else
            return fail(interp, usageText);
    }
    if (!ids) return fail(interp, "image id missing!");
    double percent = 0;
    if (pct && Tcl_GetDouble(interp, pct, &percent) != TCL_OK) return fail(interp, usageText);
    percent = std::clamp(percent, 0.0, 100.0);
    int n;
    const char** list;
    if (Tcl_SplitList(interp, ids, &n, &list) != TCL_OK) return TCL_ERROR;
    std::vector<std::string> names(list, list + n);
    Tcl_Free(reinterpret_cast<char*>(list));
    for (const std::string& id : names) {
        RAMImage* img = findImage(id.c_str());
        if (!img) return fail(interp, "Fail to find rimage: " + id);
        if (pct) {
            int lines = std::max(1, static_cast<int>(img->head.rows * percent / 100.0));
            if (setRAMImageBuf(img, lines) < 1) return fail(interp, "Fail to set ramimg buffer: " + id);
        }
        report(out, img);
    }
    setResult(interp, out);
    return TCL_OK;
}

// The word-count rule of lock, unlock, resident, update and volume: a usage
// text appended to the result, status OK.
int softUsage(Tcl_Interp* interp, Argv argv, const char* rest) {
    Tcl_AppendResult(interp, "Usage: ", argv[0], " ", argv[1], rest, nullptr);
    return TCL_OK;
}

int residentCmd(Tcl_Interp* interp, int argc, Argv argv) {
    if (argc != 3) return softUsage(interp, argv, " imgID");
    RAMImage* img = findImage(argv[2]);
    if (!img) return fail(interp, std::string("Can't found RAMIMG: ") + argv[2]);
    Tcl_SetObjResult(interp, Tcl_NewIntObj(img->fd < 0 ? 1 : 0));
    return TCL_OK;
}

int lockCmd(Tcl_Interp* interp, int argc, Argv argv, int attr) {
    if (argc != 3) return softUsage(interp, argv, " imgID");
    RAMImage* img = findImage(argv[2]);
    if (!img) return fail(interp, std::string("Can't found RAMIMG: ") + argv[2]);
    attrRAMImage(img, attr);
    return TCL_OK;
}

int updateCmd(Tcl_Interp* interp, int argc, Argv argv) {
    const char* u = " imgID [DISPLAY|CONFIG|ALL|DATA] (def: DISPLAY)";
    if (argc != 3 && argc != 4) return softUsage(interp, argv, u);
    RAMImage* img = findImage(argv[2]);
    if (!img) return fail(interp, std::string("Can't found RAMIMG: ") + argv[2]);
    std::string w = argc == 4 ? argv[3] : "DISPLAY";
    int bits;
    if (w == "DISPLAY") {
        bits = RIMG_DISPLAY;
    } else if (w == "CONFIG") {
        bits = RIMG_CONFIG;
    } else if (w == "ALL") {
        bits = RIMG_CONFIG | RIMG_DISPLAY;
    } else if (w == "DATA") {
        inValidateRAMImage(img);
        bits = RIMG_DISPLAY;
    } else {
        return fail(interp, "Invalid option: " + w);
    }
    updateClient(img, nullptr, bits);
    return TCL_OK;
}

int volumeCmd(Tcl_Interp* interp, int argc, Argv argv) {
    if (argc != 3 && argc != 4) return softUsage(interp, argv, " imgID [vID]");
    RAMImage* img = findImage(argv[2]);
    if (!img) return fail(interp, std::string("Can't found RAMIMG: ") + argv[2]);
    RAMImagePin pin(img);
    if (argc == 4) {
        int v;
        if (Tcl_GetInt(interp, argv[3], &v) != TCL_OK) return TCL_ERROR;
        int r = getRAMImageVolume(img, v);
        // Past the last volume "next" starts over at the first.
        if (r == -2 && v == 0) r = getRAMImageVolume(img, 1);
        if (r == -1 || r == 0) return fail(interp, "Error in seek");
        updateClient(img, nullptr, RIMG_CONFIG);
    }
    Tcl_SetObjResult(interp, Tcl_NewIntObj(img->curVolume));
    return TCL_OK;
}

// ---- colour tables -------------------------------------------------------------
bool parseIndexRange(const char* s, int* a, int* b) {
    char tail;
    if (std::sscanf(s, "%d-%d%c", a, b, &tail) == 2) return true;
    if (std::sscanf(s, "%d%c", a, &tail) == 1) {
        *b = *a;
        return true;
    }
    return false;
}

int getIndicesCmd(Tcl_Interp* interp, int argc, Argv argv) {
    if (argc < 3) return fail(interp, std::string("Usage: ") + argv[0] + " getIndices imgid [index]");
    bool opened;
    int err;
    RAMImage* img = findOrOpen(argv[2], &opened, &err);
    if (!img) return storeError(interp, err, std::string("Error in open ") + argv[2]);
    ImageHead h = img->head;
    if (opened) closeRAMImage(img, nullptr);
    if (h.nindices < 1) return TCL_OK;
    std::vector<int> idx;
    if (argc == 3) {
        for (int i = 0; i < std::min(h.nindices, 256); ++i) idx.push_back(i);
    } else {
        for (int k = 3; k < argc; ++k) {
            int a, b;
            if (!parseIndexRange(argv[k], &a, &b)) return fail(interp, "Invalid index.");
            if (a > b) std::swap(a, b);
            if (a < 0 || b > 255) return fail(interp, "Invalid index.");
            for (int i = a; i <= b; ++i) idx.push_back(i);
        }
    }
    Tcl_Obj* list = Tcl_NewListObj(0, nullptr);
    for (int i : idx)
        Tcl_ListObjAppendElement(nullptr, list,
                                 Tcl_ObjPrintf("%d %d %d %d", i, h.colorTable[i][0], h.colorTable[i][1], h.colorTable[i][2]));
    Tcl_SetObjResult(interp, list);
    return TCL_OK;
}

int setIndicesCmd(Tcl_Interp* interp, int argc, Argv argv) {
    if (argc < 4) return fail(interp, std::string("Usage: ") + argv[0] + " setIndices imgid {index r g b} ...");
    bool opened;
    int err;
    RAMImage* img = findOrOpen(argv[2], &opened, &err);
    if (!img) return storeError(interp, err, std::string("Error in open ") + argv[2]);
    struct Closer {
        RAMImage* img;
        bool opened;
        ~Closer() {
            if (opened) closeRAMImage(img, nullptr);
        }
    } closer{img, opened};
    if (img->head.nindices < 1) return fail(interp, "Not a color index image.");
    // All entries are checked before any is stored.
    unsigned char table[256][3];
    std::memcpy(table, img->head.colorTable, sizeof table);
    const int n = std::min(img->head.nindices, 256);
    for (int k = 3; k < argc; ++k) {
        int a, b, r, g, bl;
        char tail;
        if (std::sscanf(argv[k], "%d-%d %d %d %d %c", &a, &b, &r, &g, &bl, &tail) != 5) {
            if (std::sscanf(argv[k], "%d %d %d %d %c", &a, &r, &g, &bl, &tail) != 4)
                return fail(interp, "Invalid color index specification.");
            b = a;
        }
        if (a > b) std::swap(a, b);
        if (a < 0 || b >= n || r < 0 || r > 255 || g < 0 || g > 255 || bl < 0 || bl > 255)
            return fail(interp, "Invalid color index specification.");
        for (int i = a; i <= b; ++i) {
            table[i][0] = static_cast<unsigned char>(r);
            table[i][1] = static_cast<unsigned char>(g);
            table[i][2] = static_cast<unsigned char>(bl);
        }
    }
    std::memcpy(img->head.colorTable, table, sizeof table);
    int r = updateImageIndices(img->fd, &img->head, img->privData.get());
    Tcl_SetObjResult(interp, Tcl_NewIntObj(r));
    return TCL_OK;
}

int isvalidCmd(Tcl_Interp* interp, int argc, Argv argv) {
    if (argc != 3) return fail(interp, usage(argv, " imgid"));
    if (findImage(argv[2])) {
        Tcl_SetObjResult(interp, Tcl_NewIntObj(1));
        return TCL_OK;
    }
    int err = 0;
    RAMImage* img = openRAMImage(nullptr, argv[2], nullptr, nullptr, &err);
    if (img) {
        closeRAMImage(img, nullptr);
        Tcl_SetObjResult(interp, Tcl_NewIntObj(1));
        return TCL_OK;
    }
    Tcl_AddErrorInfo(interp, ramimgError(err));
    Tcl_SetObjResult(interp, Tcl_NewIntObj(0));
    return TCL_OK;
}

// ---- applications ----------------------------------------------------------------
int runApp(Tcl_Interp* interp, const AppRoute& app, int argc, Argv argv) {
    int r = app.entry(app.prog, argc - 2, argv + 2);
    if (r == 0) return fail(interp, std::string("Exec error from ") + argv[0] + " " + argv[1]);
    Tcl_ResetResult(interp);
    return TCL_OK;
}

// rimage ?subcommand ...?: see the table of subcommands above.  The default
// head (client data) keeps what configure and create set.
int rimageCmd(ClientData cd, Tcl_Interp* interp, int argc, Argv argv) {
    auto* def = static_cast<ImageHead*>(cd);
    if (argc < 2) {
        Tcl_SetObjResult(interp, Tcl_NewStringObj(kHelp, -1));
        return TCL_OK;
    }
    int s = matchSubcommand(kSubs, sizeof kSubs / sizeof kSubs[0], argv[1]);
    if (s < 0) return fail(interp, "Unknown command");
    for (const AppRoute& a : kApps)
        if (a.sub == s) return runApp(interp, a, argc, argv);
    switch (static_cast<Sub>(s)) {
    case S_OPEN: return openCmd(def, interp, argc, argv);
    case S_CLOSE: return closeCmd(interp, argc, argv);
    case S_LIST: return listCmd(interp, argc, argv);
    case S_CONFIGURE: return configureCmd(def, interp, argc, argv);
    case S_CGET: return cgetCmd(def, interp, argc, argv);
    case S_CREATE: return createCmd(def, interp, argc, argv);
    case S_CACHE: return cacheCmd(interp, argc, argv);
    case S_RESIDENT: return residentCmd(interp, argc, argv);
    case S_LOCK: return lockCmd(interp, argc, argv, 1);
    case S_UNLOCK: return lockCmd(interp, argc, argv, 0);
    case S_UPDATE: return updateCmd(interp, argc, argv);
    case S_VOLUME: return volumeCmd(interp, argc, argv);
    case S_GETINDICES: return getIndicesCmd(interp, argc, argv);
    case S_SETINDICES: return setIndicesCmd(interp, argc, argv);
    case S_ISVALID: return isvalidCmd(interp, argc, argv);
    case S_HIST: return rimgHistCmd(interp, argc, argv);
    case S_BIND: return rimgBind(interp, argc, argv);
    case S_CANVAS: return rimgCaptureCanvas(interp, argc, argv);
    case S_CLIPBOARD: return rimgCaptureClipboard(interp, argc, argv);
    case S_WINDOW: return rimgCaptureWindow(interp, argc, argv);
    case S_DRAW: return rimgDraw(interp, argc, argv);
    default: return fail(interp, "Unknown command");
    }
}

int rimageCmdSafe(ClientData cd, Tcl_Interp* interp, int argc, Argv argv) {
    try {
        return rimageCmd(cd, interp, argc, argv);
    } catch (const std::bad_alloc&) {
        return fail(interp, "Memory allocation error");
    } catch (const std::exception& e) {
        return fail(interp, std::string("rimage: ") + e.what());
    }
}

void rimgDeleteProc(ClientData cd) { delete static_cast<ImageHead*>(cd); }

}  // namespace

std::string openUsage(const char** argv) {
    return std::string("Usage: ") + argv[0] + " " + argv[1] +
           " FILE|TAG [imgID [[template [dataRange]] | options]]";
}

void rimgDefaultHead(ImageHead* h) {
    *h = blankImageHead();
    h->block = 512;
    h->msbf = msbFirst() ? 1 : 0;
    h->nindices = 0;
    h->bits = 8;
    h->transparent = -1;
    // The option defaults apply whether or not Tk is present.
    headOptionDefaults(h);
}

int Rimg_Init(Tcl_Interp* interp) {
    auto* def = new ImageHead;
    rimgDefaultHead(def);
    if (!Tcl_CreateCommand(interp, "rimage", rimageCmdSafe, def, rimgDeleteProc)) {
        delete def;
        return 1;
    }
    return TCL_OK;
}
