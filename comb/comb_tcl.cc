// The composite widget commands register here once they exist.
#include "init/modules.h"

int Comb_Init(Tcl_Interp*) { return TCL_OK; }
