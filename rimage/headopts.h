// The header options of the rimage command (-file, -rows, -imgid, ...): an
// option engine with the behaviour and messages of Tk's widget options that
// works without Tk, and the header validation applied whenever options are
// set on a head.
#pragma once
#include <tcl.h>

#include "ramimage/imagehead.h"

// Sets every option of `head` to its default value.
void headOptionDefaults(ImageHead* head);

// Applies option-value pairs to a copy of `head` and validates the result;
// only on success is the copy written back.  Leaves Tk's messages
// ("unknown option \"-x\"", "expected integer but got \"x\"", ...) or the
// validation's in the result.
int configureHead(Tcl_Interp* interp, ImageHead* head, int argc, const char* const* argv);

// The configuration information: every option as {-rows rows Rows 512 512},
// or only the named one.
int headConfigInfo(Tcl_Interp* interp, const ImageHead* head, const char* option);
// The current value of one option.
int headConfigValue(Tcl_Interp* interp, const ImageHead* head, const char* option);

// Sets colour-table entries 0..n-1 to a grey ramp (i x 255 / (n - 1),
// rounded); one entry is black.
void greyRamp(ImageHead* head, int n);
