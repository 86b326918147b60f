// Pieces of the rimage command shared between its source files.
#pragma once
#include <tcl.h>

#include <string>

#include "ramimage/imagehead.h"

// The default head of a new rimage command: fixed initial values, then the
// option defaults.
void rimgDefaultHead(ImageHead* head);
// Usage text (a) of the open subcommand.
std::string openUsage(const char** argv);
// rimage hist -imgid ID ?-dx DX? ?-dy DY? ?-u UPDATE? ?-list stats|hist?
int rimgHistCmd(Tcl_Interp* interp, int argc, const char** argv);
