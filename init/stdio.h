// Standard I/O of the package: the interpreter that receives console output,
// the console forms of output and input, the progress meter, the pause/abort
// check of long operations, the panic procedure and the event-loop helpers.
// Core code prints through zarn::conPuts / conPrintf (init/output.h); the
// package entry installs consolePuts as that sink and the meter and status
// routines below as the core's host hooks.
#pragma once
#include <tcl.h>

#include <cstddef>
#include <cstdio>
#include <string>

// The interpreter that receives console output, meter scripts and the
// pause/abort scripts; null = output dropped.  Cleared automatically when
// that interpreter is deleted.
extern Tcl_Interp* tclInterp;
// 1 when a console window carries standard I/O (tkConsoleOutput/Input).
extern int consoleApp;
// When set, each console write lets the event loop run.
extern int unblockConsolePrint;
// Run status: 0 run, 2 pause requested, 3 abort requested.
extern int zarnStatus;
// Meter step and gate (0 disables the meter); last fraction sent.
extern float meter;
extern float meterPct;

// Points console output at interp (null allowed); returns the previous one.
Tcl_Interp* setStdIO(Tcl_Interp* interp);

// Writes text to the console interpreter's stdout (TCL_STDOUT) or stderr
// (TCL_STDERR); returns length.  Dropped when there is no interpreter.
int consolePuts(int channel, const char* text, int length);
int ConsoleOutput(int channel, const char* text, int length);
// C stdio form: stderr goes to TCL_STDERR, any other stream to TCL_STDOUT.
int conPuts(FILE* stream, const char* text, int length);

// Appends one input line to ds; returns its length, 0 when nothing came.
int consoleGets(Tcl_DString* ds);
// Reads one line into the shared input string; null when nothing came.
char* conGets(int* length);
// One line with its outcome told apart from an empty line: false when no
// line could be read.
bool consoleReadLine(std::string* line);

void gotoxy(int x, int y);
void clearConsole();

// The panic procedure: "panic:" and the message go to file descriptor 2 at
// once and then to the console's stderr.  It does not end the process.
void userPanic(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Runs events until none is left (never waits); resets interp's result when
// interp is given.  Returns the last Tcl_DoOneEvent result.
int tclUpdate(Tcl_Interp* interp, int flags);
// Keeps running events for ms milliseconds.
int tclUpdating(Tcl_Interp* interp, int flags, int ms);
void doAfterIdleOrUpdate();

// Tilde expansion of a file name into dst (dstSize bytes).  Null, with
// "Fail to translate file name." in the error information, when the name
// cannot be translated or does not fit.
char* translateFileName(Tcl_Interp* interp, char* dst, size_t dstSize, const char* name);
bool translateFileName(Tcl_Interp* interp, std::string* out, const char* name);

// Installs consolePuts as the core's output sink and the meter and status
// routines as its host hooks.
void installConsoleHooks();

// The Tcl-layer meter and status routines behind the core's meterSet,
// meterReset, meterInc and checkRimageStatus.
namespace zarnio {
int meterSet(const char* message, double pct);
int meterReset();
double meterInc();
int checkRimageStatus();
}  // namespace zarnio
