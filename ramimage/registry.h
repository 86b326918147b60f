// Run-time additions to the format registry and the recognition entry.
#pragma once
#include "formats/formats.h"

// Recognises the file: its storage code, 0 when no handler knows it, -1 when
// the handler that knows it cannot read it.
int imgTypes(int fd, const char* name, ImageHead* head, HandlerPtr* priv);

// Adds a recogniser: after = 0 pushes it at the front of the list tried
// before the built-ins, otherwise appends it to the list tried after them.
// A recogniser already registered is moved, never duplicated.
void imgTypeAdd(RecogniseProc proc, int after);
void imgTypeRemove(RecogniseProc proc);
void imgTypeFree();
int imgTypeCount(int after);

// Abandons the recognition in progress: prints the message and makes the
// registry answer -1.  Only for use inside a recogniser.
[[noreturn]] void imageTypeInitAbort(const char* message);
