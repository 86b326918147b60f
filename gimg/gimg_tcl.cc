// The gimg image type registers here once it exists.
#include "init/modules.h"

int Gimg_Init(Tcl_Interp*) { return TCL_OK; }
