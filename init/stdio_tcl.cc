// Console output and input of the package, the meter, the run-status check,
// the panic procedure and the event-loop helpers.
#include "init/stdio.h"

#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>

#include "init/output.h"
#include "init/tclutil.h"

Tcl_Interp* tclInterp = nullptr;
int consoleApp = 0;
int unblockConsolePrint = 0;
int zarnStatus = 0;
float meter = 0.05f;
float meterPct = 0;

namespace {

constexpr const char* kStdIOKey = "zarnStdIO";
// Nested console writes (a console procedure that prints again) stop here
// instead of recursing until the stack runs out.
constexpr int kMaxOutputDepth = 8;
int outputDepth = 0;

Tcl_DString inputString;
bool inputStringReady = false;

// Whichever way the interpreter dies, output must stop going to it.
void forgetStdIOInterp(ClientData, Tcl_Interp* interp) {
    if (tclInterp == interp) tclInterp = nullptr;
}

bool usable(Tcl_Interp* interp) { return interp && !Tcl_InterpDeleted(interp); }

void writeFd2(const char* text, size_t n) {
    while (n > 0) {
        ssize_t w = ::write(2, text, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            return;
        }
        text += w;
        n -= static_cast<size_t>(w);
    }
}

void coreSink(int channel, const char* text, size_t length) {
    // consolePuts counts in int; very long texts go in pieces.
    constexpr size_t kPiece = size_t(1) << 30;
    while (length > 0) {
        size_t n = length < kPiece ? length : kPiece;
        consolePuts(channel, text, static_cast<int>(n));
        text += n;
        length -= n;
    }
}

void setTimerFlag(ClientData data) { *static_cast<int*>(data) = 1; }

}  // namespace

Tcl_Interp* setStdIO(Tcl_Interp* interp) {
    Tcl_Interp* old = tclInterp;
    if (interp && !Tcl_GetAssocData(interp, kStdIOKey, nullptr))
        Tcl_SetAssocData(interp, kStdIOKey, forgetStdIOInterp, nullptr);
    tclInterp = interp;
    return old;
}

namespace {

// Keeps an interpreter allocated for a scope (it may be deleted meanwhile).
class Preserved {
public:
    explicit Preserved(Tcl_Interp* interp) : interp_(interp) { Tcl_Preserve(interp_); }
    ~Preserved() { Tcl_Release(interp_); }
    Preserved(const Preserved&) = delete;
    Preserved& operator=(const Preserved&) = delete;

private:
    Tcl_Interp* interp_;
};

struct DepthGuard {
    DepthGuard() { ++outputDepth; }
    ~DepthGuard() { --outputDepth; }
    DepthGuard(const DepthGuard&) = delete;
    DepthGuard& operator=(const DepthGuard&) = delete;
};

void consolePutsBody(Tcl_Interp* interp, int channel, std::string_view body) {
    const char* ch = channel == TCL_STDERR ? "stderr" : "stdout";
    DepthGuard depth;
    Preserved keep(interp);
    if (consoleApp)
        zarnutil::evalWordsQuietly(interp, {"tkConsoleOutput", ch, body});
    else
        zarnutil::evalWordsQuietly(interp, {"puts", "-nonewline", ch, body});
    // Running events here must not wipe the result of the command that is
    // printing, so the update does not reset any result.
    if (unblockConsolePrint) tclUpdate(nullptr, 0);
}

}  // namespace

int consolePuts(int channel, const char* text, int length) {
    Tcl_Interp* interp = tclInterp;
    if (!text) return length;
    if (length < 0) length = static_cast<int>(std::strlen(text));
    if (!usable(interp) || outputDepth >= kMaxOutputDepth) return length;
    Tcl_SetErrno(0);
    try {
        consolePutsBody(interp, channel, std::string_view(text, static_cast<size_t>(length)));
    } catch (const std::exception&) {
        // Output that cannot be built is dropped like output with no console.
    }
    return length;
}

int ConsoleOutput(int channel, const char* text, int length) { return consolePuts(channel, text, length); }

int conPuts(FILE* stream, const char* text, int length) {
    return consolePuts(stream == stderr ? TCL_STDERR : TCL_STDOUT, text, length);
}

bool consoleReadLine(std::string* line) {
    Tcl_Interp* interp = tclInterp;
    if (!usable(interp)) return false;
    bool got = false;
    Preserved keep(interp);
    Tcl_InterpState state = Tcl_SaveInterpState(interp, TCL_OK);
    try {
        if (consoleApp) {
            if (zarnutil::evalWords(interp, {"tkConsoleInput"}) == TCL_OK) {
                const char* v = Tcl_GetVar2(interp, "consoleCmdLine", nullptr, TCL_GLOBAL_ONLY);
                if (v) {
                    *line = v;
                    got = true;
                }
            }
        } else if (zarnutil::evalWords(interp, {"gets", "stdin"}) == TCL_OK) {
            *line = Tcl_GetStringResult(interp);
            got = true;
            if (line->empty()) {
                // An empty result is an empty line unless the channel hit its end.
                Tcl_Channel in = Tcl_GetChannel(interp, "stdin", nullptr);
                if (!in || Tcl_Eof(in)) got = false;
            }
        }
    } catch (const std::exception&) {
        got = false;
    }
    Tcl_RestoreInterpState(interp, state);
    return got;
}

int consoleGets(Tcl_DString* ds) {
    std::string line;
    if (!consoleReadLine(&line) || line.empty()) return 0;
    Tcl_DStringAppend(ds, line.data(), static_cast<int>(line.size()));
    return static_cast<int>(line.size());
}

char* conGets(int* length) {
    if (!inputStringReady) {
        Tcl_DStringInit(&inputString);
        inputStringReady = true;
    }
    Tcl_DStringSetLength(&inputString, 0);
    int n = consoleGets(&inputString);
    if (length) *length = n;
    return n < 1 ? nullptr : Tcl_DStringValue(&inputString);
}

void gotoxy(int x, int y) {
    Tcl_Interp* interp = tclInterp;
    if (!usable(interp)) return;
    char xs[16], ys[16];
    std::snprintf(xs, sizeof xs, "%d", x);
    std::snprintf(ys, sizeof ys, "%d", y);
    Preserved keep(interp);
    zarnutil::evalWordsQuietly(interp, {"tkConsoleXY", xs, ys});
}

void clearConsole() {
    Tcl_Interp* interp = tclInterp;
    if (!usable(interp)) return;
    Preserved keep(interp);
    zarnutil::evalWordsQuietly(interp, {"clear"});
}

void userPanic(const char* format, ...) {
    // One fixed buffer: a panic may come from an allocator in trouble.
    char buf[4096];
    static const char prefix[] = "panic:";
    size_t n = sizeof prefix - 1;
    std::memcpy(buf, prefix, n);
    va_list ap;
    va_start(ap, format);
    int m = std::vsnprintf(buf + n, sizeof buf - n - 1, format ? format : "", ap);
    va_end(ap);
    if (m > 0) n += std::min(static_cast<size_t>(m), sizeof buf - n - 2);
    buf[n++] = '\n';
    buf[n] = '\0';
    // Tcl ends the process as soon as this returns: the message must be out
    // on the real standard error before anything else is tried.
    writeFd2(buf, n);
    consolePuts(TCL_STDERR, buf, static_cast<int>(n));
}

int tclUpdate(Tcl_Interp* interp, int flags) {
    int last;
    while ((last = Tcl_DoOneEvent(flags | TCL_DONT_WAIT)) != 0) {
    }
    if (interp) Tcl_ResetResult(interp);
    return last;
}

int tclUpdating(Tcl_Interp* interp, int flags, int ms) {
    int done = 0;
    Tcl_TimerToken t = Tcl_CreateTimerHandler(ms < 0 ? 0 : ms, setTimerFlag, &done);
    int last = 0;
    // Waiting in Tcl_DoOneEvent rather than polling keeps the CPU idle.
    while (!done) last = Tcl_DoOneEvent((flags & ~TCL_DONT_WAIT) | TCL_TIMER_EVENTS);
    Tcl_DeleteTimerHandler(t);
    if (interp) Tcl_ResetResult(interp);
    return last;
}

void doAfterIdleOrUpdate() {}

bool translateFileName(Tcl_Interp* interp, std::string* out, const char* name) {
    Tcl_DString ds;
    Tcl_DStringInit(&ds);
    const char* t = name ? Tcl_TranslateFileName(interp, name, &ds) : nullptr;
    if (!t) {
        if (interp) Tcl_AddErrorInfo(interp, "Fail to translate file name.");
        Tcl_DStringFree(&ds);
        return false;
    }
    out->assign(t);
    Tcl_DStringFree(&ds);
    return true;
}

char* translateFileName(Tcl_Interp* interp, char* dst, size_t dstSize, const char* name) {
    std::string s;
    if (!dst || !translateFileName(interp, &s, name)) return nullptr;
    if (s.size() >= dstSize) {
        if (interp) Tcl_AddErrorInfo(interp, "Fail to translate file name.");
        return nullptr;
    }
    std::memcpy(dst, s.c_str(), s.size() + 1);
    return dst;
}

namespace zarnio {

int meterReset() {
    Tcl_Interp* interp = tclInterp;
    if (!usable(interp) || meter == 0) return 0;
    meterPct = 0;
    Preserved keep(interp);
    return zarnutil::evalWordsQuietly(interp, {"meter.reset", ".status.info.meter"});
}

int meterSet(const char* message, double pct) {
    Tcl_Interp* interp = tclInterp;
    if (!usable(interp) || meter == 0) return 0;
    meterPct = static_cast<float>(pct);
    char p[64];
    std::snprintf(p, sizeof p, "%f", pct);
    try {
        std::string msg = std::string(message ? message : "") + " ";
        Preserved keep(interp);
        return zarnutil::evalWordsQuietly(interp, {"meter.set", ".status.info.meter", p, msg});
    } catch (const std::exception&) {
        return TCL_ERROR;
    }
}

double meterInc() { return meter; }

int checkRimageStatus() {
    if (!usable(tclInterp) || zarnStatus == 0) return 0;
    tclUpdate(nullptr, TCL_ALL_EVENTS);
    // The events may have deleted the interpreter or changed the status.
    Tcl_Interp* interp = tclInterp;
    if (usable(interp) && (zarnStatus == 2 || zarnStatus == 3)) {
        Preserved keep(interp);
        zarnutil::evalWordsQuietly(interp, {zarnStatus == 2 ? "zarnPause" : "zarnAbort"});
    }
    return zarnStatus;
}

}  // namespace zarnio

void installConsoleHooks() {
    zarn::setOutputSink(coreSink);
    zarn::HostHooks hooks;
    hooks.meterSet = zarnio::meterSet;
    hooks.meterReset = zarnio::meterReset;
    hooks.meterInc = zarnio::meterInc;
    hooks.checkStatus = zarnio::checkRimageStatus;
    zarn::setHostHooks(hooks);
}
