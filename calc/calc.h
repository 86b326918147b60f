// The calc command: dispatch and the subcommand procedures, split by what
// they touch (script libraries; small utilities).
#pragma once
#include <tcl.h>

namespace calc {

using SubProc = int (*)(Tcl_Interp* interp, int argc, const char* argv[]);

// Script libraries.
int deCompLoad(Tcl_Interp* interp, int argc, const char* argv[]);
int compSave(Tcl_Interp* interp, int argc, const char* argv[]);
int compTest(Tcl_Interp* interp, int argc, const char* argv[]);

// Utilities.
int chars(Tcl_Interp* interp, int argc, const char* argv[]);
int correl(Tcl_Interp* interp, int argc, const char* argv[]);
int clrscr(Tcl_Interp* interp, int argc, const char* argv[]);
int bands(Tcl_Interp* interp, int argc, const char* argv[]);
int d2r(Tcl_Interp* interp, int argc, const char* argv[]);
int r2d(Tcl_Interp* interp, int argc, const char* argv[]);
int ftime(Tcl_Interp* interp, int argc, const char* argv[]);
int freeDisk(Tcl_Interp* interp, int argc, const char* argv[]);
int fgets(Tcl_Interp* interp, int argc, const char* argv[]);
int loadtime(Tcl_Interp* interp, int argc, const char* argv[]);
int mallocProbe(Tcl_Interp* interp, int argc, const char* argv[]);
int memid(Tcl_Interp* interp, int argc, const char* argv[]);
int meter(Tcl_Interp* interp, int argc, const char* argv[]);
int panicCmd(Tcl_Interp* interp, int argc, const char* argv[]);
int rand(Tcl_Interp* interp, int argc, const char* argv[]);
int rrand(Tcl_Interp* interp, int argc, const char* argv[]);
int scramble(Tcl_Interp* interp, int argc, const char* argv[]);
int stime(Tcl_Interp* interp, int argc, const char* argv[]);
int test(Tcl_Interp* interp, int argc, const char* argv[]);

// The numeric tools of later modules (eigenvectors, FFT files, control
// points, rotation matrices); they say so while they are not built in.
int numericTool(Tcl_Interp* interp, int argc, const char* argv[]);

}  // namespace calc
