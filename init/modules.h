// Module initialisers of the Tcl layer, started in this order by
// initZArnModules.  Each returns TCL_OK or an error status.
#pragma once
#include <tcl.h>

int Rimg_Init(Tcl_Interp* interp);
int Calc_Init(Tcl_Interp* interp);
int Comb_Init(Tcl_Interp* interp);
int Grass_Init(Tcl_Interp* interp);
int Etran_Init(Tcl_Interp* interp);
int Mpeg_Init(Tcl_Interp* interp);
int Dicom_Init(Tcl_Interp* interp);
int Tiff_Init(Tcl_Interp* interp);
// Registers the gimg image type (needs Tk).
int Gimg_Init(Tcl_Interp* interp);
