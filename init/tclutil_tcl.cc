#include "init/tclutil.h"

#include <vector>

namespace zarnutil {

int evalWords(Tcl_Interp* interp, std::initializer_list<std::string_view> words) {
    std::vector<Tcl_Obj*> objv;
    objv.reserve(words.size());
    for (auto w : words) {
        Tcl_Obj* o = Tcl_NewStringObj(w.data(), static_cast<int>(w.size()));
        Tcl_IncrRefCount(o);
        objv.push_back(o);
    }
    int code = Tcl_EvalObjv(interp, static_cast<int>(objv.size()), objv.data(), TCL_EVAL_GLOBAL);
    for (auto* o : objv) Tcl_DecrRefCount(o);
    return code;
}

int evalWordsQuietly(Tcl_Interp* interp, std::initializer_list<std::string_view> words) {
    Tcl_InterpState state = Tcl_SaveInterpState(interp, TCL_OK);
    int code = evalWords(interp, words);
    Tcl_RestoreInterpState(interp, state);
    return code;
}

int evalQuietly(Tcl_Interp* interp, const char* script) {
    Tcl_InterpState state = Tcl_SaveInterpState(interp, TCL_OK);
    int code = Tcl_EvalEx(interp, script, -1, TCL_EVAL_GLOBAL);
    Tcl_RestoreInterpState(interp, state);
    return code;
}

bool tkPresent(Tcl_Interp* interp) {
    if (!interp || Tcl_InterpDeleted(interp)) return false;
    Tcl_InterpState state = Tcl_SaveInterpState(interp, TCL_OK);
    bool present = Tcl_PkgPresent(interp, "Tk", nullptr, 0) != nullptr;
    // The stubs are process-wide: the first interpreter with Tk fills them.
    if (present && !tkStubsPtr) present = Tk_InitStubs(interp, "8.6", 0) != nullptr;
    Tcl_RestoreInterpState(interp, state);
    return present;
}

Tk_Window mainWindowOf(Tcl_Interp* interp) {
    if (!tkPresent(interp)) return nullptr;
    Tcl_InterpState state = Tcl_SaveInterpState(interp, TCL_OK);
    Tk_Window w = Tk_MainWindow(interp);
    Tcl_RestoreInterpState(interp, state);
    return w;
}

int loadTk(Tcl_Interp* interp) {
    if (Tcl_EvalEx(interp, "load {} Tk", -1, TCL_EVAL_GLOBAL) == TCL_OK) return TCL_OK;
    Tcl_ResetResult(interp);
    return Tcl_EvalEx(interp, "package require Tk", -1, TCL_EVAL_GLOBAL) == TCL_OK ? TCL_OK : TCL_ERROR;
}

std::string globalVar(Tcl_Interp* interp, const char* name, bool* found) {
    const char* v = Tcl_GetVar2(interp, name, nullptr, TCL_GLOBAL_ONLY);
    if (found) *found = v != nullptr;
    return v ? v : "";
}

std::string envVar(Tcl_Interp* interp, const char* name, bool* found) {
    const char* v = Tcl_GetVar2(interp, "env", name, TCL_GLOBAL_ONLY);
    if (found) *found = v != nullptr;
    return v ? v : "";
}

}  // namespace zarnutil
