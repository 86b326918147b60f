#include "init/tclresult.h"
#include "rimage/headopts.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstddef>
#include <cstring>
#include <string>

#include "ramimage/ramimage.h"

namespace {

enum class Kind { File, MapId, ImgId, PixelId, Int, Double };

struct HeadOption {
    const char* argvName;
    const char* dbName;
    const char* dbClass;
    const char* defValue;
    Kind kind;
    size_t offset;
};

const HeadOption kOptions[] = {
    {"-file", "file", "File", "rimage.lan", Kind::File, offsetof(ImageHead, file)},
    {"-mapid", "mapid", "Mapid", "GRID", Kind::MapId, offsetof(ImageHead, mapid)},
    {"-imgid", "imgid", "Imgid", "E74", Kind::ImgId, offsetof(ImageHead, imgid)},
    {"-pixel", "pixel", "Pixel", "BYTE", Kind::PixelId, offsetof(ImageHead, pixel)},
    {"-nbands", "nbands", "Nbands", "1", Kind::Int, offsetof(ImageHead, nbands)},
    {"-msbf", "msbf", "Msbf", "0", Kind::Int, offsetof(ImageHead, msbf)},
    {"-rows", "rows", "Rows", "512", Kind::Int, offsetof(ImageHead, rows)},
    {"-columns", "columns", "Columns", "512", Kind::Int, offsetof(ImageHead, columns)},
    {"-top", "top", "Top", "0", Kind::Int, offsetof(ImageHead, top)},
    {"-left", "left", "Left", "0", Kind::Int, offsetof(ImageHead, left)},
    {"-x0", "x0", "X0", "0.0", Kind::Double, offsetof(ImageHead, x0)},
    {"-y0", "y0", "Y0", "0.0", Kind::Double, offsetof(ImageHead, y0)},
    {"-dx", "dx", "Dx", "1.0", Kind::Double, offsetof(ImageHead, dx)},
    {"-dy", "dy", "Dy", "1.0", Kind::Double, offsetof(ImageHead, dy)},
    {"-offset", "offset", "Offset", "128", Kind::Int, offsetof(ImageHead, offset)},
    {"-block", "block", "Block", "512", Kind::Int, offsetof(ImageHead, block)},
    {"-nindices", "nindices", "Nindices", "0", Kind::Int, offsetof(ImageHead, nindices)},
};

int& intField(ImageHead* h, const HeadOption& o) {
    return *reinterpret_cast<int*>(reinterpret_cast<char*>(h) + o.offset);
}
double& doubleField(ImageHead* h, const HeadOption& o) {
    return *reinterpret_cast<double*>(reinterpret_cast<char*>(h) + o.offset);
}
const int& intField(const ImageHead* h, const HeadOption& o) {
    return *reinterpret_cast<const int*>(reinterpret_cast<const char*>(h) + o.offset);
}
const double& doubleField(const ImageHead* h, const HeadOption& o) {
    return *reinterpret_cast<const double*>(reinterpret_cast<const char*>(h) + o.offset);
}

// Finds an option by exact name or unique prefix, as Tk does.
const HeadOption* findOption(Tcl_Interp* interp, const char* name) {
    size_t len = std::strlen(name);
    const HeadOption* match = nullptr;
    if (len > 0) {
        for (const HeadOption& o : kOptions) {
            if (std::strncmp(o.argvName, name, len) != 0) continue;
            if (o.argvName[len] == '\0') return &o;
            if (match) {
                Tcl_SetObjResult(interp, Tcl_ObjPrintf("ambiguous option \"%s\"", name));
                return nullptr;
            }
            match = &o;
        }
    }
    if (!match) Tcl_SetObjResult(interp, Tcl_ObjPrintf("unknown option \"%s\"", name));
    return match;
}

std::string valueText(const ImageHead* h, const HeadOption& o) {
    switch (o.kind) {
    case Kind::File: return std::string(h->file, strnlen(h->file, kNameMax));
    case Kind::MapId: return strMapID(intField(h, o));
    case Kind::ImgId: return strImgID(intField(h, o));
    case Kind::PixelId: return strPixelID(intField(h, o));
    case Kind::Int: return std::to_string(intField(h, o));
    case Kind::Double: {
        char buf[TCL_DOUBLE_SPACE];
        Tcl_PrintDouble(nullptr, doubleField(h, o), buf);
        return buf;
    }
    }
    return {};
}

int badName(Tcl_Interp* interp, const char* value, const char* field) {
    Tcl_SetObjResult(interp, Tcl_ObjPrintf("Invalid value: %s for %s", value, field));
    return TCL_ERROR;
}

int setOption(Tcl_Interp* interp, ImageHead* h, const HeadOption& o, const char* value) {
    switch (o.kind) {
    case Kind::File: {
        Tcl_DString ds;
        const char* native = Tcl_TranslateFileName(interp, value, &ds);
        if (!native) {
            Tcl_ResetResult(interp);
            Tcl_SetObjResult(interp, Tcl_ObjPrintf("Error in file name translation: %s for file", value));
            return TCL_ERROR;
        }
        bool ok = setHeadFile(*h, native);
        Tcl_DStringFree(&ds);
        if (!ok) {
            Tcl_SetObjResult(interp, Tcl_ObjPrintf("File name too long (at most %d bytes): %s", kNameMax - 1, value));
            return TCL_ERROR;
        }
        return TCL_OK;
    }
    case Kind::MapId: {
        int c = parseMapID(value);
        if (c < 0) return badName(interp, value, "mapid");
        intField(h, o) = c;
        return TCL_OK;
    }
    case Kind::ImgId: {
        int c = parseImgID(value);
        if (c < 0) return badName(interp, value, "imgid");
        intField(h, o) = c;
        return TCL_OK;
    }
    case Kind::PixelId: {
        int c = parsePixelID(value);
        if (c < 0) return badName(interp, value, "pixel");
        intField(h, o) = c;
        return TCL_OK;
    }
    case Kind::Int: return Tcl_GetInt(interp, value, &intField(h, o));
    case Kind::Double: return Tcl_GetDouble(interp, value, &doubleField(h, o));
    }
    return TCL_ERROR;
}

// The checks of a header whose options were just set.  `before` is the head
// as it was, so that an unchanged colour table is not re-ramped.
int validateHead(Tcl_Interp* interp, ImageHead* h, const ImageHead& before) {
    if (h->nbands == 1) {
        int limit = h->pixel == PIX_1BIT ? 2 : h->pixel == PIX_4BITS ? 16 : h->pixel == PIX_BYTE ? 256 : -1;
        if (limit < 0)
            h->nindices = 0;
        else if (h->nindices < 0 || h->nindices > limit)
            return fail(interp, "Invalid index number.");
    } else {
        h->nindices = 0;
    }
    switch (h->imgid) {
    case IMG_BSQ:
    case IMG_BIL:
    case IMG_BIP:
    case IMG_MBSQ:
    case IMG_MBIL:
    case IMG_MBIP:
        if (h->pixel == PIX_1BIT) h->nindices = 2;
        break;
    case IMG_DIB:
        if (h->nbands == 1) {
            if (h->pixel == PIX_1BIT)
                h->nindices = 2;
            else if (h->pixel == PIX_4BITS)
                h->nindices = 16;
            else if (h->pixel == PIX_BYTE)
                h->nindices = 256;
            else
                return fail(interp, "Illegal pixel for a DIB image.");
        } else if (h->nbands == 3) {
            if (h->pixel != PIX_BYTE) return fail(interp, "Illegal pixel for a 24-BIT DIB image.");
            h->nindices = 0;
        } else {
            return fail(interp, "Illegal bands for a DIB image.");
        }
        break;
    case IMG_TIFF:
        if (h->nbands == 1)
            h->nindices = h->pixel == PIX_1BIT ? 2 : h->pixel == PIX_4BITS ? 16 : h->pixel == PIX_BYTE ? 256 : 0;
        break;
    case IMG_FFT:
        h->nbands = 2;
        h->pixel = PIX_FLOAT;
        h->nindices = 0;
        break;
    case IMG_PPM:
    case IMG_JPEG:
        if (h->nbands != 1 && h->nbands != 3)
            return fail(interp, h->imgid == IMG_PPM ? "Illegal bands for a PPM image." : "Illegal bands for a JPEG image.");
        h->pixel = PIX_BYTE;
        h->nindices = 0;
        h->offset = 0;
        break;
    case IMG_MRGB32: h->nbands = 4, h->pixel = PIX_BYTE, h->nindices = 0; break;
    case IMG_MRGB24: h->nbands = 3, h->pixel = PIX_BYTE, h->nindices = 0; break;
    case IMG_MRGB565: h->nbands = 1, h->pixel = PIX_USHORT, h->nindices = 0; break;
    case IMG_MRGB555: h->nbands = 1, h->pixel = PIX_SHORT, h->nindices = 0; break;
    case IMG_MRGB8: h->nbands = 1, h->pixel = PIX_BYTE, h->nindices = 256; break;
    case IMG_MRGB4: h->nbands = 1, h->pixel = PIX_4BITS, h->nindices = 16; break;
    case IMG_MRGB1: h->nbands = 1, h->pixel = PIX_1BIT, h->nindices = 2; break;
    default: break;
    }
    if (h->rows < 1 || h->columns < 1 || h->nbands < 1)
        return fail(interp, "Invalid image size: rows, columns and bands must be at least 1.");
    if (h->offset < 0 || h->block < 0) return fail(interp, "Invalid offset or block: they must not be negative.");
    h->bits = pixelBits(h->pixel);
    const int64_t bits = h->bits, cols = h->columns, nb = h->nbands;
    int64_t minBlock;
    switch (h->imgid) {
    case IMG_BIP:
    case IMG_DIB:
    case IMG_MBIP:
    case IMG_MRGB32:
    case IMG_MRGB24:
    case IMG_MRGB565:
    case IMG_MRGB555:
    case IMG_MRGB8:
    case IMG_MRGB4:
    case IMG_MRGB1: minBlock = (cols * bits * nb + 31) / 32 * 4; break;
    case IMG_TIFF:
    case IMG_FFT:
    case IMG_PPM: minBlock = (cols * bits * nb + 7) / 8; break;
    default: minBlock = (cols * bits + 7) / 8; break;
    }
    if (minBlock > INT32_MAX) return fail(interp, "Invalid image size: a line is too long.");
    // A JPEG keeps its encoding quality in block.
    if (h->imgid != IMG_JPEG && h->block < minBlock) h->block = static_cast<int>(minBlock);
    if (checkImageGeometry(*h) != 0) return fail(interp, "Invalid image size: the image is too large.");
    if (h->nindices != before.nindices || h->pixel != before.pixel) greyRamp(h, h->nindices);
    return TCL_OK;
}

Tcl_Obj* infoList(const ImageHead* h, const HeadOption& o) {
    Tcl_Obj* e[5] = {Tcl_NewStringObj(o.argvName, -1), Tcl_NewStringObj(o.dbName, -1),
                     Tcl_NewStringObj(o.dbClass, -1), Tcl_NewStringObj(o.defValue, -1),
                     Tcl_NewStringObj(valueText(h, o).c_str(), -1)};
    return Tcl_NewListObj(5, e);
}

}  // namespace

void greyRamp(ImageHead* head, int n) {
    n = std::min(n, 256);
    for (int i = 0; i < n; ++i) {
        int v = n > 1 ? static_cast<int>(std::lround(i * 255.0 / (n - 1))) : 0;
        head->colorTable[i][0] = head->colorTable[i][1] = head->colorTable[i][2] = static_cast<unsigned char>(v);
    }
}

void headOptionDefaults(ImageHead* head) {
    for (const HeadOption& o : kOptions) setOption(nullptr, head, o, o.defValue);
    head->bits = pixelBits(head->pixel);
}

int configureHead(Tcl_Interp* interp, ImageHead* head, int argc, const char* const* argv) {
    ImageHead copy = *head;
    for (int i = 0; i < argc; i += 2) {
        const HeadOption* o = findOption(interp, argv[i]);
        if (!o) return TCL_ERROR;
        if (i + 1 >= argc) {
            Tcl_SetObjResult(interp, Tcl_ObjPrintf("value for \"%s\" missing", argv[i]));
            return TCL_ERROR;
        }
        if (setOption(interp, &copy, *o, argv[i + 1]) != TCL_OK) {
            Tcl_AppendObjToErrorInfo(interp, Tcl_ObjPrintf("\n    (processing \"%s\" option)", o->argvName));
            return TCL_ERROR;
        }
    }
    if (validateHead(interp, &copy, *head) != TCL_OK) return TCL_ERROR;
    *head = copy;
    return TCL_OK;
}

int headConfigInfo(Tcl_Interp* interp, const ImageHead* head, const char* option) {
    if (option) {
        const HeadOption* o = findOption(interp, option);
        if (!o) return TCL_ERROR;
        Tcl_SetObjResult(interp, infoList(head, *o));
        return TCL_OK;
    }
    Tcl_Obj* all = Tcl_NewListObj(0, nullptr);
    for (const HeadOption& o : kOptions) Tcl_ListObjAppendElement(nullptr, all, infoList(head, o));
    Tcl_SetObjResult(interp, all);
    return TCL_OK;
}

int headConfigValue(Tcl_Interp* interp, const ImageHead* head, const char* option) {
    const HeadOption* o = findOption(interp, option);
    if (!o) return TCL_ERROR;
    Tcl_SetObjResult(interp, Tcl_NewStringObj(valueText(head, *o).c_str(), -1));
    return TCL_OK;
}
