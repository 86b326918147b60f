// X display globals of the package, filled from the first interpreter with a
// Tk main window, and the process-wide display resources freed at exit.
#pragma once
#include <tcl.h>
#include <tk.h>

extern Display* disp;
extern int scrnNumber;
extern Screen* scrnPtr;
extern Colormap cmap;
extern int depth;
extern int rgb24;  // 1 when depth is above 24
// Shared scratch pixmap of the display code; freed at exit.
extern Pixmap pixmap;
// Colours of the shared palette (allocated with tclAlloc); freed at exit.
extern unsigned long* palPixels;
extern int nPalPixels;
// Dictionaries of the dicom and tiff inspection commands.
extern Tcl_HashTable* dicomHashPtr;
extern Tcl_HashTable* tiffHashPtr;
