// The tiff inspection command registers here.
#include "init/modules.h"

int Tiff_Init(Tcl_Interp*) { return TCL_OK; }
