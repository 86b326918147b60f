// Small helpers of the Tcl layer: evaluating word lists without disturbing an
// interpreter's result, and finding out whether Tk is loaded.
#pragma once
#include <tcl.h>
#include <tk.h>

#include <initializer_list>
#include <string>
#include <string_view>

namespace zarnutil {

// Evaluates the words as one command (never re-parsed) at global level.
int evalWords(Tcl_Interp* interp, std::initializer_list<std::string_view> words);
// The same, but the interpreter's result and error state are kept as they
// were; returns the evaluation's status.
int evalWordsQuietly(Tcl_Interp* interp, std::initializer_list<std::string_view> words);
// Evaluates a script at global level keeping the result and error state.
int evalQuietly(Tcl_Interp* interp, const char* script);

// True when Tk is loaded into interp; the Tk stubs are set up on the way.
// The interpreter's result is left alone.
bool tkPresent(Tcl_Interp* interp);
// The main window of interp, or null without Tk (result left alone).
Tk_Window mainWindowOf(Tcl_Interp* interp);

// Loads Tk into a fresh interpreter (Tk_Init is not in the stubs table):
// from the copy already in the process, else through the package system.
int loadTk(Tcl_Interp* interp);

// Global variable value, or empty with *found false.
std::string globalVar(Tcl_Interp* interp, const char* name, bool* found = nullptr);
std::string envVar(Tcl_Interp* interp, const char* name, bool* found = nullptr);

// Sets the interpreter result from a std::string.
inline void setResult(Tcl_Interp* interp, std::string_view text) {
    Tcl_SetObjResult(interp, Tcl_NewStringObj(text.data(), static_cast<int>(text.size())));
}

}  // namespace zarnutil
