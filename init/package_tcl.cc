// Package entry: Zarn_Init and Console_Init, module start-up in its fixed
// order, the installation directory, the display globals and the exit
// handler.
#include "init/package.h"

#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "init/channel.h"
#include "init/display.h"
#include "init/modules.h"
#include "init/peers.h"
#include "init/stdio.h"
#include "init/tclutil.h"
#include "ramimage/registry.h"

Display* disp = nullptr;
int scrnNumber = 0;
Screen* scrnPtr = nullptr;
Colormap cmap = 0;
int depth = 0;
int rgb24 = 0;
Pixmap pixmap = 0;
unsigned long* palPixels = nullptr;
int nPalPixels = 0;
Tcl_HashTable* dicomHashPtr = nullptr;
Tcl_HashTable* tiffHashPtr = nullptr;

Tcl_Interp* packageConsoleOf(Tcl_Interp* interp);
void registerSetConStdIO(Tcl_Interp* con);

namespace {

using zarnutil::setResult;

int loaded = 0;

void installExitHandlerOnce() {
    if (loaded) return;
    Tcl_CreateExitHandler(zarnExitProc, nullptr);
    loaded = 1;
}

bool holdsLibraries(const std::string& dir) {
    return !dir.empty() && ::access((dir + "/program.lib").c_str(), R_OK) == 0;
}

// The directory of the package's own shared library (or of the shell it is
// linked into), when the script libraries lie there or in the installed
// layout beside it.
std::string libraryHome() {
    Dl_info info;
    if (!::dladdr(reinterpret_cast<void*>(&getGimgHome), &info) || !info.dli_fname) return {};
    char real[PATH_MAX];
    if (!::realpath(info.dli_fname, real)) return {};
    std::string dir(real);
    auto slash = dir.rfind('/');
    if (slash == std::string::npos) return {};
    dir.resize(slash == 0 ? 1 : slash);
    if (holdsLibraries(dir)) return dir;
    std::string installed = dir + "/../lib/zarn" ZARN_PACKAGE_VERSION;
    if (holdsLibraries(installed) && ::realpath(installed.c_str(), real)) return real;
    return {};
}

// A guard that puts the previous console interpreter back unless released.
class StdIORestore {
public:
    explicit StdIORestore(Tcl_Interp* now) : saved_(setStdIO(now)) {
        if (saved_) Tcl_Preserve(saved_);
    }
    ~StdIORestore() {
        if (!kept_) setStdIO(saved_ && !Tcl_InterpDeleted(saved_) ? saved_ : nullptr);
        if (saved_) Tcl_Release(saved_);
    }
    void keep() { kept_ = true; }
    StdIORestore(const StdIORestore&) = delete;
    StdIORestore& operator=(const StdIORestore&) = delete;

private:
    Tcl_Interp* saved_;
    bool kept_ = false;
};

bool commonStart(Tcl_Interp* interp) {
    if (!Tcl_InitStubs(interp, "8.6", 0)) return false;
    zarnutil::tkPresent(interp);  // sets up the Tk stubs when Tk is there
    installConsoleHooks();
    return true;
}

int zarnInitBody(Tcl_Interp* interp) {
    copyZarnGlobal(interp, interp);
    if (Tcl_PkgProvide(interp, ZARN_PACKAGE_NAME, ZARN_PACKAGE_VERSION) != TCL_OK) return TCL_ERROR;
    bool tk = zarnutil::tkPresent(interp);
    // A process that first loaded the package without Tk still gets its
    // display the first time an interpreter with Tk loads it.
    if (loaded && (disp || !tk)) return TCL_OK;
    if (tk && !disp) {
        if (Tk_Window main = zarnutil::mainWindowOf(interp)) {
            Tk_MakeWindowExist(main);
            scrnNumber = Tk_ScreenNumber(main);
            disp = Tk_Display(main);
            scrnPtr = Tk_Screen(main);
            cmap = Tk_Colormap(main);
            depth = Tk_Depth(main);
            rgb24 = depth > 24;
        }
    }
    Tcl_Interp* old = setStdIO(interp);
    int code = tk ? Gimg_Init(interp) : TCL_OK;
    if (code == TCL_OK) Tcl_SetPanicProc(userPanic);
    setStdIO(old);
    return code;
}

}  // namespace

bool zarnLoaded() { return loaded != 0; }

std::string getGimgHome(Tcl_Interp* interp) {
    bool found = false;
    std::string v = zarnutil::globalVar(interp, "gimgHome", &found);
    if (found) return v;
    v = zarnutil::envVar(interp, "GHOME", &found);
    if (!found) v = zarnutil::globalVar(interp, "zarnHome", &found);
    if (!found) v = zarnutil::envVar(interp, "ZARN", &found);
    if (!found) {
        v = libraryHome();
        found = !v.empty();
    }
    if (found) {
        Tcl_SetVar2(interp, "gimgHome", nullptr, v.c_str(), TCL_GLOBAL_ONLY);
        return v;
    }
    zarnutil::evalQuietly(interp, "set gimgHome [pwd]");
    return zarnutil::globalVar(interp, "gimgHome");
}

int zarnInit(Tcl_Interp* interp) { return zarnInitBody(interp); }

int initZArnModules(Tcl_Interp* interp) {
    int (*const modules[])(Tcl_Interp*) = {Rimg_Init,  Calc_Init, Comb_Init,  Grass_Init,
                                           Etran_Init, Mpeg_Init, Dicom_Init, Tiff_Init};
    for (auto start : modules) {
        int code = start(interp);
        if (code != TCL_OK) return code;
    }
    return TCL_OK;
}

int appInit(Tcl_Interp* interp) {
    Tcl_Preserve(interp);
    int code = initZArnModules(interp);
    if (code == TCL_OK) {
        if (zarnutil::tkPresent(interp)) {
            if (zarnGimgCmd) Tcl_CreateCommand(interp, "gimg", zarnGimgCmd, nullptr, gimgCmdDeleteProc);
            zarnutil::evalQuietly(interp, "wm iconify .");
        }
        code = Tcl_EvalEx(interp, "foreach s $zarnAppScripts {calc decompload [file join $gimgHome $s]}", -1,
                          TCL_EVAL_GLOBAL);
    }
    Tcl_Release(interp);
    return code;
}

int patchTkCon(Tcl_Interp* interp) {
    Tcl_CmdInfo info;
    if (!Tcl_GetCommandInfo(interp, "console", &info)) return 0;
    if (Tcl_Interp* con = packageConsoleOf(interp)) {
        setStdIO(con);
        registerSetConStdIO(con);
    } else {
        // Tk's own console keeps its interpreter private: output is handed to
        // it from here through "console eval" by the patch library.
        setStdIO(interp);
    }
    consoleApp = 1;
    installConsoleStdChannels(interp);
    int code = Tcl_EvalEx(interp, "calc decompload [file join $gimgHome conpatch.lib]", -1, TCL_EVAL_GLOBAL);
    if (code != TCL_OK)
        code = Tcl_EvalEx(interp, "source [file join $gimgHome conpatch.tcl]", -1, TCL_EVAL_GLOBAL);
    if (code != TCL_OK) Tcl_AppendResult(interp, "Failed to patch console!", nullptr);
    return code;
}

void zarnExitProc(ClientData) {
    Tcl_SetPanicProc(nullptr);
    tclInterp = nullptr;
    conMarkExiting();
    conDeleteAll(nullptr);
    if (gimgDeleteAll) gimgDeleteAll();
    if (palPixels) {
        if (disp) XFreeColors(disp, cmap, palPixels, nPalPixels, 0);
        free(palPixels);
        palPixels = nullptr;
        nPalPixels = 0;
    }
    if (pixmap) {
        if (disp && tkStubsPtr) Tk_FreePixmap(disp, pixmap);
        pixmap = 0;
    }
    if (dicomHashPtr && dicomDeleteProc) dicomDeleteProc(dicomHashPtr);
    if (tiffHashPtr && tiffDeleteProc) tiffDeleteProc(tiffHashPtr);
    imgTypeFree();
    loaded = 0;
}

extern "C" __attribute__((visibility("default"))) int Zarn_Init(Tcl_Interp* interp) {
    try {
        if (!commonStart(interp)) return TCL_ERROR;
        StdIORestore io(interp);
        int code = zarnInit(interp);
        if (code == TCL_OK) code = appInit(interp);
        if (code != TCL_OK) return code;
        installExitHandlerOnce();
        io.keep();
        return TCL_OK;
    } catch (const std::exception& e) {
        setResult(interp, std::string("Zarn_Init: ") + e.what());
        return TCL_ERROR;
    }
}

extern "C" __attribute__((visibility("default"))) int Console_Init(Tcl_Interp* interp) {
    try {
        if (!commonStart(interp)) return TCL_ERROR;
        if (!zarnutil::tkPresent(interp)) {
            // The consoles are Tk windows: bring Tk in when it can be had.
            if (Tcl_EvalEx(interp, "package require Tk 8.6", -1, TCL_EVAL_GLOBAL) != TCL_OK ||
                !zarnutil::tkPresent(interp)) {
                Tcl_AddErrorInfo(interp, "\n    (the package console needs Tk)");
                return TCL_ERROR;
            }
        }
        StdIORestore io(interp);
        int code = zarnInit(interp);
        if (code != TCL_OK) return code;
        setStdIO(nullptr);
        code = AppCon_Init(interp);
        if (code != TCL_OK) return code;
        consoleApp = 1;
        code = Etran_Init(interp);
        if (code != TCL_OK) return code;
        const char* interactive = Tcl_GetVar2(interp, "tcl_interactive", nullptr, TCL_GLOBAL_ONLY);
        // Unset counts as a script run: the console attaches to this
        // interpreter instead of starting another application.
        if (interactive && interactive[0] != '0') {
            code = Tcl_EvalEx(interp, "zarn create", -1, TCL_EVAL_GLOBAL);
            if (code == TCL_OK) patchTkCon(interp);
        } else {
            code = Tcl_EvalEx(interp, "zarn attach", -1, TCL_EVAL_GLOBAL);
            Tcl_SetVar2(interp, "tcl_interactive", nullptr, "1", TCL_GLOBAL_ONLY);
        }
        if (code != TCL_OK) return code;
        installExitHandlerOnce();
        io.keep();
        return TCL_OK;
    } catch (const std::exception& e) {
        setResult(interp, std::string("Console_Init: ") + e.what());
        return TCL_ERROR;
    }
}
