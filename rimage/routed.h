// Subcommands of rimage that other modules provide: capture of canvases,
// windows and the clipboard, drawing, Tk photo images and image object
// commands.  Each takes the interpreter and the whole argument vector.
#pragma once
#include <tcl.h>

#include "ramimage/ramimage.h"

int rimgCaptureCanvas(Tcl_Interp* interp, int argc, const char** argv);
int rimgCaptureClipboard(Tcl_Interp* interp, int argc, const char** argv);
int rimgCaptureWindow(Tcl_Interp* interp, int argc, const char** argv);
int rimgDraw(Tcl_Interp* interp, int argc, const char** argv);
int rimgBind(Tcl_Interp* interp, int argc, const char** argv);
// Opens the Tk photo image `name` as a RAM image; null when there is none.
RAMImage* rimgOpenTkPhoto(Tcl_Interp* interp, const char* name);
