/* The package's console shell: a Tk main whose application start-up runs
 * Console_Init, so the package's console windows carry standard I/O. */
#include <tk.h>

extern int Console_Init(Tcl_Interp* interp);

static int appInitProc(Tcl_Interp* interp) {
    if (Tcl_Init(interp) == TCL_ERROR) return TCL_ERROR;
    if (Tk_Init(interp) == TCL_ERROR) return TCL_ERROR;
    Tcl_StaticPackage(interp, "Zarn", Console_Init, NULL);
    return Console_Init(interp);
}

int main(int argc, char** argv) {
    Tk_Main(argc, argv, appInitProc);
    return 0;
}
