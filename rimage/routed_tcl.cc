// Capture, drawing, photo exchange and image object commands arrive with the
// display modules; until then these subcommands say they are not available.
#include "rimage/routed.h"

namespace {
int unavailable(Tcl_Interp* interp, const char** argv) {
    Tcl_SetObjResult(interp, Tcl_ObjPrintf("%s %s: not available in this version", argv[0], argv[1]));
    return TCL_ERROR;
}
}  // namespace

int rimgCaptureCanvas(Tcl_Interp* interp, int, const char** argv) { return unavailable(interp, argv); }
int rimgCaptureClipboard(Tcl_Interp* interp, int, const char** argv) { return unavailable(interp, argv); }
int rimgCaptureWindow(Tcl_Interp* interp, int, const char** argv) { return unavailable(interp, argv); }
int rimgDraw(Tcl_Interp* interp, int, const char** argv) { return unavailable(interp, argv); }
int rimgBind(Tcl_Interp* interp, int, const char** argv) { return unavailable(interp, argv); }
RAMImage* rimgOpenTkPhoto(Tcl_Interp*, const char*) { return nullptr; }
