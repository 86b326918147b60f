// The package's "console" channel type.  Tcl 8.6 keeps channel types
// read-only, so instead of patching the standard channels' procedures the
// package creates its own channels console0/1/2 and installs them as the
// standard channels; the channels found before are kept for the exit and as
// the place output falls back to when no console interpreter can take it.
#pragma once
#include <tcl.h>

// Channel procedures.  ConsoleInput reads one console line (conGets) and
// hands it out at most bufSize - 1 bytes at a time followed by a zero byte;
// what did not fit is kept for the next call.
int ConsoleInput(ClientData instanceData, char* buf, int bufSize, int* errorCodePtr);
int ConsoleStdout(ClientData instanceData, const char* buf, int toWrite, int* errorCodePtr);
int ConsoleStderr(ClientData instanceData, const char* buf, int toWrite, int* errorCodePtr);
// Handles of the console pipe: read end for TCL_READABLE, write end for
// TCL_WRITABLE; TCL_ERROR for anything else or when no pipe can be made.
int ConsoleHandle(ClientData instanceData, int direction, ClientData* handlePtr);
int ConsoleClose(ClientData instanceData, Tcl_Interp* interp);

// First set-up: creates the channels (reporting each step on standard
// output), makes them the standard channels and registers them with interp
// and the interpreters above it.  Later calls only register them.
void setupConsoleChannels(Tcl_Interp* interp);
// Makes the console channels the standard channels again (zarn stdio).
void installConsoleStdChannels(Tcl_Interp* interp);
// Registers the console channels with interp (and its masters).
void registerConsoleChannels(Tcl_Interp* interp);
bool consoleChannelsReady();

// Exit: puts the channels found before back as the standard channels.
void consoleExitProc(ClientData);
void consoleExitProc0(ClientData);
