// Package entry (first cut): provides the package, routes console output to
// the loading interpreter and starts the modules.
#include <tcl.h>
#include <tk.h>

#include <cstring>
#include <string>

#include "init/modules.h"
#include "init/output.h"

namespace {

Tcl_Interp* tclInterp = nullptr;

void consoleSink(int channel, const char* text, size_t length) {
    Tcl_Interp* interp = tclInterp;
    if (!interp) return;
    Tcl_Obj* cmd[4] = {Tcl_NewStringObj("puts", -1), Tcl_NewStringObj("-nonewline", -1),
                       Tcl_NewStringObj(channel == zarn::kStderr ? "stderr" : "stdout", -1),
                       Tcl_NewStringObj(text, static_cast<int>(length))};
    Tcl_Preserve(interp);
    Tcl_Obj* saved = Tcl_GetObjResult(interp);
    Tcl_IncrRefCount(saved);
    for (auto* o : cmd) Tcl_IncrRefCount(o);
    Tcl_EvalObjv(interp, 4, cmd, TCL_EVAL_GLOBAL);
    for (auto* o : cmd) Tcl_DecrRefCount(o);
    Tcl_SetObjResult(interp, saved);
    Tcl_DecrRefCount(saved);
    Tcl_Release(interp);
}

int initModules(Tcl_Interp* interp) {
    int (*mods[])(Tcl_Interp*) = {Rimg_Init, Calc_Init, Comb_Init, Grass_Init,
                                  Etran_Init, Mpeg_Init, Dicom_Init, Tiff_Init};
    for (auto m : mods) {
        int s = m(interp);
        if (s != TCL_OK) return s;
    }
    return TCL_OK;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int Zarn_Init(Tcl_Interp* interp) {
    if (!Tcl_InitStubs(interp, "8.6", 0)) return TCL_ERROR;
    tclInterp = interp;
    zarn::setOutputSink(consoleSink);
    if (Tcl_PkgProvide(interp, "Zarn", "3.4") != TCL_OK) return TCL_ERROR;
    return initModules(interp);
}

extern "C" __attribute__((visibility("default"))) int Console_Init(Tcl_Interp* interp) {
    return Zarn_Init(interp);
}
