// Package entry: the entry points, module start-up, the installation
// directory and the process exit handler; and the console slots.
#pragma once
#include <tcl.h>

#include <string>

#define ZARN_PACKAGE_NAME "Zarn"
#define ZARN_PACKAGE_VERSION "3.4"

extern "C" {
int Zarn_Init(Tcl_Interp* interp);
int Console_Init(Tcl_Interp* interp);
int AppCon_Init(Tcl_Interp* interp);
}

int zarnInit(Tcl_Interp* interp);
int appInit(Tcl_Interp* interp);
int initZArnModules(Tcl_Interp* interp);
int patchTkCon(Tcl_Interp* interp);
// The installation directory of the script libraries: the global gimgHome,
// env(GHOME), the global zarnHome, env(ZARN), the directory of the package's
// own library when the script libraries lie there, else the current
// directory.  The value found is stored into gimgHome.
std::string getGimgHome(Tcl_Interp* interp);
void zarnExitProc(ClientData);
// True once the exit handler is installed (cleared by the exit handler).
bool zarnLoaded();

// Copies gimgHome, zarnAppScripts and zarnConScripts from source (or their
// defaults) into target.
void copyZarnGlobal(Tcl_Interp* source, Tcl_Interp* target);

// ---- console slots ----------------------------------------------------------
constexpr int kConSlots = 16;

struct ConSlot {
    Tcl_Interp* conInterp;  // owns the console window; null when none
    Tcl_Interp* appInterp;  // null = slot free
    char conName[16];
    char appName[20];
};
extern ConSlot conData[kConSlots];
extern int appconInit;

// Deletes every console and application interpreter of the slots (deferred
// to idle time); at process exit it only forgets them.
void conDeleteAll(ClientData);
// From now on conDeleteAll only forgets (the process is exiting).
void conMarkExiting();
// Deletes an interpreter (its main window first); clears tclInterp when it is
// that interpreter.
void delTclInterp(Tcl_Interp* interp);
// Attaches (create = 0) or creates (create = 1) an application interpreter
// with its console; TCL_OK or TCL_ERROR with the message in interp.
int conInit(ConSlot* table, Tcl_Interp* interp, int create);
// Creates the console interpreter of slot; null (message in parent) on failure.
Tcl_Interp* conTkInit(Tcl_Interp* parent, int slot);
