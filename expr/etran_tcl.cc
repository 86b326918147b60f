// The expression command registers here once it exists.
#include "init/modules.h"

int Etran_Init(Tcl_Interp*) { return TCL_OK; }
