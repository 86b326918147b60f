// Small helpers for leaving results in an interpreter, shared by the
// command procedures.
#pragma once
#include <tcl.h>

#include <string>
#include <string_view>

inline Tcl_Obj* newStringObj(std::string_view s) {
    return Tcl_NewStringObj(s.data(), static_cast<int>(s.size()));
}

inline void setResult(Tcl_Interp* interp, std::string_view s) { Tcl_SetObjResult(interp, newStringObj(s)); }

// Leaves the message and returns TCL_ERROR.
inline int fail(Tcl_Interp* interp, std::string_view msg) {
    setResult(interp, msg);
    return TCL_ERROR;
}

// An error without a message, as some malformed command forms give.
inline int silentError(Tcl_Interp* interp) {
    Tcl_ResetResult(interp);
    return TCL_ERROR;
}

inline void appendString(Tcl_Obj* list, std::string_view s) {
    Tcl_ListObjAppendElement(nullptr, list, newStringObj(s));
}
