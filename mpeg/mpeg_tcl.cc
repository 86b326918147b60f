// The video commands register here once they exist.
#include "init/modules.h"

int Mpeg_Init(Tcl_Interp*) { return TCL_OK; }
