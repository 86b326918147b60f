// Routines of other modules that the package entry calls when they are
// built in.  They are weak references: until a module provides its routine,
// the pointer is null and the call is skipped.
#pragma once
#include <tcl.h>

int zarnGimgCmd(ClientData clientData, Tcl_Interp* interp, int argc, const char* argv[]) __attribute__((weak));
void gimgCmdDeleteProc(ClientData clientData) __attribute__((weak));
void gimgNames(Tcl_Interp* interp) __attribute__((weak));
void gimgDeleteAll() __attribute__((weak));
void dicomDeleteProc(ClientData clientData) __attribute__((weak));
void tiffDeleteProc(ClientData clientData) __attribute__((weak));
