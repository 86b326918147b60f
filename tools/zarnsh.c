/* The package's console shell: a Tk main whose application start-up runs
 * Console_Init, so the package's console windows carry standard I/O.  With a
 * script argument the console attaches to the script's interpreter; without
 * one it starts a fresh application with its own console. */
#include <tk.h>

extern int Console_Init(Tcl_Interp* interp);
extern int Zarn_Init(Tcl_Interp* interp);

static int appInitProc(Tcl_Interp* interp) {
    if (Tcl_Init(interp) == TCL_ERROR) return TCL_ERROR;
    if (Tk_Init(interp) == TCL_ERROR) return TCL_ERROR;
    /* "package require Zarn" and "load {} Zarn" in scripts find the
     * package linked into this shell. */
    Tcl_StaticPackage(interp, "Tk", Tk_Init, Tk_SafeInit);
    Tcl_StaticPackage(interp, "Zarn", Zarn_Init, NULL);
    Tcl_StaticPackage(NULL, "Console", Console_Init, NULL);
    return Console_Init(interp);
}

int main(int argc, char** argv) {
    Tk_Main(argc, argv, appInitProc);
    return 0;
}
