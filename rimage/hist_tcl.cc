// rimage hist: recomputes an image's histograms and reports statistics or
// bin counts.
#include <tcl.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "apps/options.h"
#include "ramimage/hist.h"
#include "rimage/rimage.h"

namespace {

bool parseCount(const char* s, int* v) {
    if (!s) return true;
    char* end;
    long x = std::strtol(s, &end, 10);
    if (end == s || *end || x < -0x7fffffffL || x > 0x7fffffffL) return false;
    *v = static_cast<int>(x);
    return true;
}

void appendStats(std::string& out, double mn, double mx, double mean, double sd) {
    char buf[160];
    std::snprintf(buf, sizeof buf, "{%.4f %.4f %.4f %.4f} ", mn, mx, mean, sd);
    out += buf;
}

}  // namespace

// Returns the statistics ("stats": min max mean std per band, or per colour
// component of a colour-index image) or the bins ("hist", samples of at most
// 8 bits); recomputes the histograms and, with -u, tells the clients.
int rimgHistCmd(Tcl_Interp* interp, int argc, const char** argv) {
    if (argc == 2) {
        Tcl_AppendResult(interp, "Usage: ", argv[0], " ", argv[1],
                         " -imgid imgid [-dx DX] [-dy DY] [-u UPDATE] [-list stats|hist]", nullptr);
        return TCL_OK;
    }
    OptionTable table[] = {{"-imgid", nullptr}, {"-dx", nullptr}, {"-dy", nullptr},
                           {"-u", nullptr},     {"-list", nullptr}, {nullptr, nullptr}};
    int dx = 1, dy = 1, update = 0;
    if (parseConfig(table, argc - 2, argv + 2) != 0 || !parseCount(table[1].value, &dx) ||
        !parseCount(table[2].value, &dy) || !parseCount(table[3].value, &update)) {
        Tcl_SetObjResult(interp, Tcl_NewStringObj("syntax error", -1));
        return TCL_ERROR;
    }
    const char* id = table[0].value ? table[0].value : "";
    RAMImage* img = getRAMImageByTag(id);
    if (!img) img = getRAMImageByName(id);
    if (!img) {
        Tcl_SetObjResult(interp, Tcl_ObjPrintf("Fail to find RAMIMG: %s", id));
        return TCL_ERROR;
    }
    RAMImagePin pin(img);
    HistRecord* hs = ramImageHist(img, 2, dx < 1 ? 1 : dx, dy < 1 ? 1 : dy);
    if (!hs) {
        Tcl_SetObjResult(interp, Tcl_NewStringObj("Error in createHist.", -1));
        return TCL_ERROR;
    }
    if (update) updateClient(img, nullptr, RIMG_CONFIG);
    const char* list = table[4].value;
    std::string out;
    const ImageHead& h = img->head;
    if (list && stricmp(list, "stats") == 0) {
        int n = h.nindices >= 1 ? 3 : h.nbands;
        for (int b = 0; b < n; ++b) {
            double sd = 0, mean = 0, mn = 0, mx = 0;
            ramImageStats(img, b, &sd, &mean, &mn, &mx);
            appendStats(out, mn, mx, mean, sd);
        }
    } else if (list && stricmp(list, "hist") == 0 && pixelBits(h.pixel) <= 8) {
        for (size_t b = 0; b < img->hist.size(); ++b) {
            const HistRecord& r = img->hist[b];
            if (r.bins.empty()) continue;
            out += '{';
            out += std::to_string(r.bins[0]);
            for (size_t i = 1; i < r.bins.size(); ++i) {
                out += ' ';
                out += std::to_string(r.bins[i]);
            }
            out += "} ";
        }
    }
    Tcl_SetObjResult(interp, Tcl_NewStringObj(out.c_str(), static_cast<int>(out.size())));
    return TCL_OK;
}
