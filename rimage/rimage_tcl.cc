#include "init/modules.h"

int Rimg_Init(Tcl_Interp*) { return TCL_OK; }
