// The "console" channel type and the standard channels built on it.
#include "init/channel.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "init/output.h"
#include "init/stdio.h"
#include "init/tclutil.h"

namespace {

struct ConsoleChannel {
    int code = 0;             // TCL_STDIN, TCL_STDOUT or TCL_STDERR
    Tcl_Channel chan = nullptr;
    std::string pending;      // input line not yet handed out
};

// Index 0 stdin, 1 stdout, 2 stderr.
ConsoleChannel* consoles[3] = {nullptr, nullptr, nullptr};
Tcl_Channel savedStd[3] = {nullptr, nullptr, nullptr};
bool channelsMade = false;
int conio[2] = {-1, -1};
// A console procedure that writes or reads the standard channels itself
// lands here again; it then goes to the channels found before.
int channelDepth = 0;

int indexOf(int code) { return code == TCL_STDIN ? 0 : code == TCL_STDOUT ? 1 : 2; }

void consoleWatch(ClientData, int) {}
int consoleBlockMode(ClientData, int) { return 0; }

int consoleClose2(ClientData instanceData, Tcl_Interp* interp, int flags) {
    if (flags & (TCL_CLOSE_READ | TCL_CLOSE_WRITE)) return EINVAL;
    return ConsoleClose(instanceData, interp);
}

int consoleOutputProc(ClientData instanceData, const char* buf, int toWrite, int* errorCodePtr) {
    auto* c = static_cast<ConsoleChannel*>(instanceData);
    return c->code == TCL_STDERR ? ConsoleStderr(instanceData, buf, toWrite, errorCodePtr)
                                 : ConsoleStdout(instanceData, buf, toWrite, errorCodePtr);
}

const Tcl_ChannelType consoleChannelType = {
    "console",
    TCL_CHANNEL_VERSION_5,
    TCL_CLOSE2PROC,
    ConsoleInput,
    consoleOutputProc,
    nullptr,  // seek
    nullptr,  // set option
    nullptr,  // get option
    consoleWatch,
    ConsoleHandle,
    consoleClose2,
    consoleBlockMode,
    nullptr,  // flush
    nullptr,  // handler
    nullptr,  // wide seek
    nullptr,  // thread action
    nullptr,  // truncate
};

bool canTakeConsoleIO() { return tclInterp && !Tcl_InterpDeleted(tclInterp) && channelDepth == 0; }

// Output with nowhere to go in a console goes to the channel found before.
int writeFallback(int code, const char* buf, int toWrite) {
    Tcl_Channel old = savedStd[indexOf(code)];
    if (old) {
        Tcl_Write(old, buf, toWrite);
        Tcl_Flush(old);
    }
    return toWrite;
}

struct ChannelDepth {
    ChannelDepth() { ++channelDepth; }
    ~ChannelDepth() { --channelDepth; }
    ChannelDepth(const ChannelDepth&) = delete;
    ChannelDepth& operator=(const ChannelDepth&) = delete;
};

int consoleWrite(int code, const char* buf, int toWrite) {
    if (!canTakeConsoleIO()) return writeFallback(code, buf, toWrite);
    ChannelDepth depth;
    return consolePuts(code, buf, toWrite);
}

bool readFallbackLine(std::string* line) {
    Tcl_Channel old = savedStd[0];
    if (!old) return false;
    Tcl_DString ds;
    Tcl_DStringInit(&ds);
    int n = Tcl_Gets(old, &ds);
    if (n >= 0) line->assign(Tcl_DStringValue(&ds), static_cast<size_t>(Tcl_DStringLength(&ds)));
    Tcl_DStringFree(&ds);
    return n >= 0;
}

// Registers chan with interp unless another channel of that name is there
// (Tcl would panic on the duplicate).
void registerOne(Tcl_Interp* interp, Tcl_Channel chan) {
    if (!chan || !interp || Tcl_InterpDeleted(interp)) return;
    const char* name = Tcl_GetChannelName(chan);
    Tcl_InterpState state = Tcl_SaveInterpState(interp, TCL_OK);
    int mode = 0;
    Tcl_Channel there = Tcl_GetChannel(interp, name, &mode);
    Tcl_RestoreInterpState(interp, state);
    if (there && there != chan) return;
    Tcl_RegisterChannel(interp, chan);
}

// Tcl caches the channel a name like "stdout" resolved to inside the name's
// object (the implicit stdout of puts is one such object per thread), and
// the cache holds until the channel's epoch changes.  Detaching a channel
// from an interpreter changes it; the channel is registered again at once
// (it stays reachable under its own name, "file1" for instance).
void forgetCachedNames(Tcl_Interp* interp, Tcl_Channel chan) {
    if (!chan || !interp) return;
    if (Tcl_GetChannelMode(chan) & TCL_WRITABLE) Tcl_Flush(chan);
    Tcl_RegisterChannel(interp, chan);
    Tcl_InterpState state = Tcl_SaveInterpState(interp, TCL_OK);
    if (Tcl_DetachChannel(interp, chan) == TCL_OK) Tcl_RegisterChannel(interp, chan);
    Tcl_RestoreInterpState(interp, state);
}

ConsoleChannel* makeChannel(Tcl_Interp* interp, int code) {
    static const char* const names[3] = {"console0", "console1", "console2"};
    static const char* const alternates[3] = {"zarnconsole0", "zarnconsole1", "zarnconsole2"};
    int i = indexOf(code);
    const char* name = names[i];
    Tcl_InterpState state = Tcl_SaveInterpState(interp, TCL_OK);
    bool taken = Tcl_GetChannel(interp, name, nullptr) != nullptr;
    Tcl_RestoreInterpState(interp, state);
    if (taken) {
        // A console channel of the host: its type cannot be changed in place,
        // so the package's own channel takes its place under another name.
        zarn::conPrintf(zarn::kStdout, "modify %s...\n", name);
        name = alternates[i];
    } else {
        zarn::conPrintf(zarn::kStdout, "create %s...\n", name);
    }
    auto* c = new ConsoleChannel;
    c->code = code;
    c->chan = Tcl_CreateChannel(&consoleChannelType, name, c, code == TCL_STDIN ? TCL_READABLE : TCL_WRITABLE);
    if (!c->chan) {
        delete c;
        zarn::conPrintf(zarn::kStdout, "fail to create %s...\n", name);
        return nullptr;
    }
    Tcl_SetChannelOption(nullptr, c->chan, "-translation", "lf");
    Tcl_SetChannelOption(nullptr, c->chan, "-buffering", "none");
    Tcl_SetChannelOption(nullptr, c->chan, "-encoding", "utf-8");
    // The package holds one reference so that closing "stdout" in a script
    // cannot free the channel under the standard-channel table.
    Tcl_RegisterChannel(nullptr, c->chan);
    return c;
}

}  // namespace

int ConsoleInput(ClientData instanceData, char* buf, int bufSize, int* errorCodePtr) {
    auto* c = static_cast<ConsoleChannel*>(instanceData);
    *errorCodePtr = 0;
    if (bufSize < 1) return 0;
    try {
        if (c->pending.empty()) {
            std::string line;
            bool got;
            if (canTakeConsoleIO()) {
                ChannelDepth depth;
                got = consoleReadLine(&line);
            } else {
                got = readFallbackLine(&line);
            }
            if (!got) return 0;  // end of input
            c->pending = std::move(line);
            c->pending += '\n';
        }
    } catch (const std::exception&) {
        *errorCodePtr = ENOMEM;
        return -1;
    }
    // Tcl fills its buffers to the last byte: with room for one byte only,
    // that byte is data (a 0 would read as the end of input).
    size_t room = bufSize > 1 ? static_cast<size_t>(bufSize - 1) : 1;
    size_t n = std::min(c->pending.size(), room);
    std::memcpy(buf, c->pending.data(), n);
    if (n < static_cast<size_t>(bufSize)) buf[n] = '\0';
    c->pending.erase(0, n);
    return static_cast<int>(n);
}

int ConsoleStdout(ClientData, const char* buf, int toWrite, int* errorCodePtr) {
    *errorCodePtr = 0;
    return consoleWrite(TCL_STDOUT, buf, toWrite);
}

int ConsoleStderr(ClientData, const char* buf, int toWrite, int* errorCodePtr) {
    *errorCodePtr = 0;
    return consoleWrite(TCL_STDERR, buf, toWrite);
}

int ConsoleHandle(ClientData, int direction, ClientData* handlePtr) {
    if (direction != TCL_READABLE && direction != TCL_WRITABLE) return TCL_ERROR;
    if (conio[0] < 0) {
        if (::pipe2(conio, O_CLOEXEC) != 0) {
            conio[0] = conio[1] = -1;
            return TCL_ERROR;
        }
    }
    *handlePtr = reinterpret_cast<ClientData>(static_cast<intptr_t>(direction == TCL_READABLE ? conio[0] : conio[1]));
    return TCL_OK;
}

int ConsoleClose(ClientData instanceData, Tcl_Interp*) {
    auto* c = static_cast<ConsoleChannel*>(instanceData);
    for (auto*& slot : consoles)
        if (slot == c) slot = nullptr;
    delete c;
    bool any = false;
    for (auto* s : consoles) any = any || s;
    if (!any) {
        for (int& fd : conio) {
            if (fd >= 0) ::close(fd);
            fd = -1;
        }
    }
    return 0;
}

bool consoleChannelsReady() { return channelsMade; }

void registerConsoleChannels(Tcl_Interp* interp) {
    for (Tcl_Interp* i = interp; i; i = Tcl_GetMaster(i))
        for (auto* c : consoles)
            if (c) registerOne(i, c->chan);
}

void installConsoleStdChannels(Tcl_Interp* interp) {
    for (auto* c : consoles)
        if (c) Tcl_SetStdChannel(c->chan, c->code);
    if (interp) registerConsoleChannels(interp);
}

void setupConsoleChannels(Tcl_Interp* interp) {
    if (!channelsMade) {
        channelsMade = true;
        zarn::conPuts(zarn::kStdout, "create channels...\n");
        const int codes[3] = {TCL_STDIN, TCL_STDOUT, TCL_STDERR};
        for (int i = 0; i < 3; ++i) {
            Tcl_Channel old = Tcl_GetStdChannel(codes[i]);
            if (old && !savedStd[i]) {
                savedStd[i] = old;
                Tcl_RegisterChannel(nullptr, old);  // kept for the exit
            }
            consoles[i] = makeChannel(interp, codes[i]);
        }
        installConsoleStdChannels(nullptr);
        for (Tcl_Channel old : savedStd) forgetCachedNames(interp, old);
    }
    installConsoleStdChannels(interp);
}

void consoleExitProc(ClientData) {
    tclInterp = nullptr;
    for (int i = 0; i < 3; ++i) {
        ConsoleChannel* c = consoles[i];
        int code = i == 0 ? TCL_STDIN : i == 1 ? TCL_STDOUT : TCL_STDERR;
        if (savedStd[i] && c && Tcl_GetStdChannel(code) == c->chan) Tcl_SetStdChannel(savedStd[i], code);
    }
}

void consoleExitProc0(ClientData data) { consoleExitProc(data); }
