// Application consoles: the 16 console slots, the zarn command and the
// commands that pass scripts between an application and its console.
#include <tcl.h>
#include <tk.h>

#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "init/channel.h"
#include "init/output.h"
#include "init/package.h"
#include "init/peers.h"
#include "init/stdio.h"
#include "init/subcmd.h"
#include "init/tclutil.h"

ConSlot conData[kConSlots];
int appconInit = 0;

namespace {

using zarnutil::setResult;

bool exitHandlerInstalled = false;
bool exiting = false;

// The main window each slot watches for destruction.
struct WinWatch {
    int slot = 0;
    bool app = false;
    Tcl_Interp* interp = nullptr;
    Tk_Window win = nullptr;
};
WinWatch appWatch[kConSlots];
WinWatch conWatch[kConSlots];

constexpr const char* kSlotKey = "zarnConSlot";

// A slot must never keep an interpreter that is gone, however it went.
void forgetSlotInterp(ClientData, Tcl_Interp* interp) {
    for (int i = 0; i < kConSlots; ++i) {
        if (conData[i].appInterp == interp) conData[i].appInterp = nullptr;
        if (conData[i].conInterp == interp) conData[i].conInterp = nullptr;
        if (appWatch[i].interp == interp) appWatch[i] = WinWatch{};
        if (conWatch[i].interp == interp) conWatch[i] = WinWatch{};
    }
}

void trackInterp(Tcl_Interp* interp) {
    if (interp && !Tcl_GetAssocData(interp, kSlotKey, nullptr))
        Tcl_SetAssocData(interp, kSlotKey, forgetSlotInterp, nullptr);
}

void fillSlotNames() {
    for (int i = 0; i < kConSlots; ++i) {
        ConSlot& s = conData[i];
        s.conInterp = s.appInterp = nullptr;
        std::snprintf(s.conName, sizeof s.conName, "conTk.%d", i);
        std::snprintf(s.appName, sizeof s.appName, "conApp.%d", i);
    }
}

// While a subcommand runs, every interpreter in the table stays allocated,
// so deleting one of them cannot free it under a caller.
class SlotPreserve {
public:
    SlotPreserve() {
        for (const ConSlot& s : conData) {
            for (Tcl_Interp* i : {s.conInterp, s.appInterp}) {
                if (i) {
                    Tcl_Preserve(i);
                    held_.push_back(i);
                }
            }
        }
    }
    ~SlotPreserve() {
        for (Tcl_Interp* i : held_) Tcl_Release(i);
    }
    SlotPreserve(const SlotPreserve&) = delete;
    SlotPreserve& operator=(const SlotPreserve&) = delete;

private:
    std::vector<Tcl_Interp*> held_;
};

// Standard I/O switched to another interpreter for the length of a scope.
class StdIOSwitch {
public:
    explicit StdIOSwitch(Tcl_Interp* to) : old_(tclInterp) {
        if (old_) Tcl_Preserve(old_);
        setStdIO(to);
    }
    ~StdIOSwitch() {
        setStdIO(old_ && !Tcl_InterpDeleted(old_) ? old_ : nullptr);
        if (old_) Tcl_Release(old_);
    }
    StdIOSwitch(const StdIOSwitch&) = delete;
    StdIOSwitch& operator=(const StdIOSwitch&) = delete;

private:
    Tcl_Interp* old_;
};

// ---- deferred deletion ---------------------------------------------------------

struct DoomedPair {
    Tcl_Interp* app;
    Tcl_Interp* con;
};

void deleteDoomed(ClientData data) {
    auto* d = static_cast<DoomedPair*>(data);
    for (Tcl_Interp* i : {d->app, d->con}) {
        if (!i) continue;
        if (!Tcl_InterpDeleted(i)) delTclInterp(i);
        Tcl_Release(i);
    }
    delete d;
}

// Takes the interpreters out of their slot now and deletes them when the
// event loop is idle.
void scheduleDeletion(Tcl_Interp* app, Tcl_Interp* con) {
    auto* d = new (std::nothrow) DoomedPair{app, con};
    if (!d) return;  // left to the process exit
    if (app) Tcl_Preserve(app);
    if (con) Tcl_Preserve(con);
    Tcl_DoWhenIdle(deleteDoomed, d);
}

void deleteLater(ClientData data) {
    auto* i = static_cast<Tcl_Interp*>(data);
    if (!Tcl_InterpDeleted(i)) delTclInterp(i);
    Tcl_Release(i);
}

void clearSlot(int slot) {
    conData[slot].appInterp = nullptr;
    conData[slot].conInterp = nullptr;
}

// ---- main-window watches -----------------------------------------------------------

void unwatch(WinWatch* w);

void mainWindowEvent(ClientData data, XEvent* ev) {
    auto* w = static_cast<WinWatch*>(data);
    if (ev->type != DestroyNotify || !w->interp) return;
    int slot = w->slot;
    Tcl_Interp* interp = w->interp;
    bool app = w->app;
    *w = WinWatch{};
    ConSlot& s = conData[slot];
    if (app && s.appInterp == interp) {
        // The application is gone: its console has nothing left to serve, and
        // the slot must not be handed out while the console still lives.
        Tcl_Interp* con = s.conInterp;
        unwatch(&conWatch[slot]);
        clearSlot(slot);
        scheduleDeletion(interp, con);
    } else if (!app && s.conInterp == interp) {
        s.conInterp = nullptr;
        scheduleDeletion(nullptr, interp);
    }
}

void watchMainWindow(WinWatch* w, int slot, bool app, Tcl_Interp* interp) {
    Tk_Window win = zarnutil::mainWindowOf(interp);
    if (!win) return;
    if (w->win && w->interp) Tk_DeleteEventHandler(w->win, StructureNotifyMask, mainWindowEvent, w);
    w->slot = slot;
    w->app = app;
    w->interp = interp;
    w->win = win;
    Tk_CreateEventHandler(win, StructureNotifyMask, mainWindowEvent, w);
}

void unwatch(WinWatch* w) {
    if (w->win && w->interp) Tk_DeleteEventHandler(w->win, StructureNotifyMask, mainWindowEvent, w);
    *w = WinWatch{};
}

// ---- commands of consoles and applications -------------------------------------------

int slotOf(ClientData cd) {
    auto v = reinterpret_cast<intptr_t>(cd);
    return v >= 0 && v < kConSlots ? static_cast<int>(v) : 0;
}

std::string concatWords(int argc, const char* argv[]) {
    char* s = Tcl_Concat(argc, argv);
    std::string out(s);
    Tcl_Free(s);
    return out;
}

// Evaluates a script in the slot's application with standard I/O going to
// the calling console; appends the application's result to the caller's.
int evalInApplication(int slot, Tcl_Interp* interp, const std::string& script, bool record) {
    Tcl_Interp* app = conData[slot].appInterp;
    if (!app) {
        Tcl_ResetResult(interp);
        return TCL_OK;
    }
    Tcl_Preserve(app);
    int code;
    {
        StdIOSwitch io(interp);
        code = record ? Tcl_RecordAndEval(app, script.c_str(), TCL_EVAL_GLOBAL)
                      : Tcl_EvalEx(app, script.c_str(), -1, 0);
    }
    if (app != interp) {
        Tcl_ResetResult(interp);
        Tcl_AppendResult(interp, Tcl_GetStringResult(app), nullptr);
        Tcl_ResetResult(app);
    }
    Tcl_Release(app);
    return code;
}

// conApp words...: evaluates the concatenated words in the application;
// returns its status and result.  Changes nothing else.
int conAppCmd(ClientData cd, Tcl_Interp* interp, int argc, const char* argv[]) {
    try {
        if (argc < 2) return TCL_OK;
        return evalInApplication(slotOf(cd), interp, concatWords(argc - 1, argv + 1), false);
    } catch (const std::exception& e) {
        setResult(interp, e.what());
        return TCL_ERROR;
    }
}

// conAppRec words...: as conApp, but the script goes into the application's
// history and runs at global level.
int conAppRecCmd(ClientData cd, Tcl_Interp* interp, int argc, const char* argv[]) {
    try {
        if (argc < 2) return TCL_OK;
        std::string script = argc == 2 ? std::string(argv[1]) : concatWords(argc - 1, argv + 1);
        return evalInApplication(slotOf(cd), interp, script, true);
    } catch (const std::exception& e) {
        setResult(interp, e.what());
        return TCL_ERROR;
    }
}

// console words... / conTk words...: evaluates the words (as a list) in the
// slot's console interpreter with standard I/O going there; returns the
// console's status and result, and leaves the console's result empty.
int conTkCmd(ClientData cd, Tcl_Interp* interp, int argc, const char* argv[]) {
    try {
        Tcl_Interp* con = conData[slotOf(cd)].conInterp;
        if (!con || argc < 2) {
            Tcl_ResetResult(interp);
            return TCL_OK;
        }
        char* merged = Tcl_Merge(argc - 1, argv + 1);
        std::string script(merged);
        Tcl_Free(merged);
        Tcl_Preserve(con);
        int code;
        {
            StdIOSwitch io(con);
            code = Tcl_EvalEx(con, script.c_str(), -1, TCL_EVAL_GLOBAL);
        }
        if (con != interp) {
            Tcl_SetObjResult(interp, Tcl_GetObjResult(con));
            Tcl_ResetResult(con);
        }
        Tcl_Release(con);
        return code;
    } catch (const std::exception& e) {
        setResult(interp, e.what());
        return TCL_ERROR;
    }
}

// setConStdIO: makes this interpreter the one that receives console output.
int setConStdIOCmd(ClientData, Tcl_Interp* interp, int, const char*[]) {
    setStdIO(interp);
    return TCL_OK;
}

void registerAppCommands(Tcl_Interp* app, int slot) {
    auto cd = reinterpret_cast<ClientData>(static_cast<intptr_t>(slot));
    Tcl_CreateCommand(app, "conTk", conTkCmd, cd, nullptr);
    Tcl_CreateCommand(app, "console", conTkCmd, cd, nullptr);
}

int appConCmd(ClientData cd, Tcl_Interp* interp, int argc, const char* argv[]);

// ---- the zarn subcommands -------------------------------------------------------------

const SubCommand kZarnSub[] = {
    {"attach", 3}, {"create", 3}, {"delete", 3}, {"eval", 3},   {"gimg", 3},  {"list", 3},
    {"meter", 3},  {"unblock", 4}, {"stdio", 3}, {"status", 3}, {"tflag", 3}, {"version", 3},
};
enum ZarnSub { Z_ATTACH, Z_CREATE, Z_DELETE, Z_EVAL, Z_GIMG, Z_LIST, Z_METER, Z_UNBLOCK, Z_STDIO, Z_STATUS, Z_TFLAG, Z_VERSION };

int firstFreeSlot() {
    for (int i = 0; i < kConSlots; ++i)
        if (!conData[i].appInterp) return i;
    return -1;
}

int createBare(Tcl_Interp* interp, int argc, const char* argv[]) {
    std::string type = argv[2];
    if (argc != 3 || (type != "tclsh" && type != "wish" && type != "zarnsh")) {
        setResult(interp, std::string("Usage: ") + argv[0] + " create [tclsh|wish|zarnsh]");
        return TCL_OK;
    }
    int slot = firstFreeSlot();
    if (slot < 0) {
        setResult(interp, "No free slots");
        return TCL_ERROR;
    }
    Tcl_Interp* n = Tcl_CreateInterp();
    int code = Tcl_Init(n);
    if (code == TCL_OK && type != "tclsh") code = zarnutil::loadTk(n);
    if (code == TCL_OK && type == "zarnsh") {
        copyZarnGlobal(interp, n);
        code = AppCon_Init(n);
    }
    if (code != TCL_OK) {
        std::string msg = Tcl_GetStringResult(n);
        delTclInterp(n);
        setResult(interp, "Error in creating " + type + " interp: " + msg);
        return TCL_ERROR;
    }
    trackInterp(n);
    conData[slot].appInterp = n;
    if (type != "tclsh") watchMainWindow(&appWatch[slot], slot, true, n);
    std::string out = type + " interp " + std::to_string(slot) + "\n" + Tcl_GetStringResult(n);
    setResult(interp, out);
    return TCL_OK;
}

void deleteSlot(int slot) {
    ConSlot& s = conData[slot];
    Tcl_Interp* app = s.appInterp;
    Tcl_Interp* con = s.conInterp;
    unwatch(&appWatch[slot]);
    unwatch(&conWatch[slot]);
    clearSlot(slot);
    if (app) delTclInterp(app);
    if (con) delTclInterp(con);
}

void deleteAllTimer(ClientData) {
    try {
        conDeleteAll(nullptr);
    } catch (const std::exception&) {
        // Nothing may propagate into Tcl's timer dispatch.
    }
}

int zarnDelete(Tcl_Interp* interp, int argc, const char* argv[]) {
    if (argc < 3) {
        setResult(interp, std::string("Usage: ") + argv[0] + " " + argv[1] + " id0 id1 ...");
        return TCL_OK;
    }
    for (int i = 2; i < argc; ++i) {
        const char* w = argv[i];
        if (strcasecmp(w, "all") == 0) {
            Tcl_CreateTimerHandler(512, deleteAllTimer, nullptr);
            break;
        }
        if (std::strcmp(w, ".") == 0) {
            for (int k = 0; k < kConSlots; ++k) {
                if (conData[k].appInterp == interp || conData[k].conInterp == interp) {
                    deleteSlot(k);
                    break;
                }
            }
            continue;
        }
        int id;
        if (Tcl_GetInt(nullptr, w, &id) == TCL_OK && id >= 0 && id < kConSlots) deleteSlot(id);
    }
    Tcl_ResetResult(interp);
    return TCL_OK;
}

int zarnEval(Tcl_Interp* interp, int argc, const char* argv[]) {
    if (argc != 4) {
        setResult(interp, zarn::strPrintf("Usage: %s eval id scripts", argv[0]));
        return TCL_OK;
    }
    int id;
    if (Tcl_GetInt(nullptr, argv[2], &id) != TCL_OK || id < 0 || id >= kConSlots || !conData[id].appInterp) {
        setResult(interp, "Invalid interp ID.\n");
        return TCL_ERROR;
    }
    Tcl_Interp* app = conData[id].appInterp;
    Tcl_Preserve(app);
    int code = Tcl_EvalEx(app, argv[3], -1, TCL_EVAL_GLOBAL);
    if (app != interp) {
        Tcl_SetObjResult(interp, Tcl_GetObjResult(app));
        Tcl_ResetResult(app);
    }
    Tcl_Release(app);
    return code;
}

int intOfPointer(const void* p) { return static_cast<int>(reinterpret_cast<uintptr_t>(p) & 0x7fffffff); }

// zarn ?subcommand args?: see the help line; the words of an unknown
// subcommand are evaluated as a script in the calling interpreter.
int appConCmdBody(Tcl_Interp* interp, int argc, const char* argv[]) {
    if (argc < 2) {
        setResult(interp, "Commands: attach create delete eval gimg list meter status unblock version");
        return TCL_OK;
    }
    SlotPreserve hold;
    int sub = matchSubcommand(kZarnSub, std::size(kZarnSub), argv[1]);
    switch (sub) {
    case Z_CREATE:
        if (argc == 2) return conInit(conData, interp, 1);
        return createBare(interp, argc, argv);
    case Z_DELETE:
        return zarnDelete(interp, argc, argv);
    case Z_EVAL:
        return zarnEval(interp, argc, argv);
    case Z_ATTACH:
        if (argc != 2) {
            setResult(interp, std::string("Usage: ") + argv[0] + " attach");
            return TCL_OK;
        }
        return conInit(conData, interp, 0);
    case Z_LIST:
        for (int i = 0; i < kConSlots; ++i)
            zarn::conPrintf(zarn::kStdout, "id: %2d app: %8d con: %8d\n", i, intOfPointer(conData[i].appInterp),
                            intOfPointer(conData[i].conInterp));
        Tcl_ResetResult(interp);
        return TCL_OK;
    case Z_METER:
        if (argc > 2) {
            double v;
            if (Tcl_GetDouble(nullptr, argv[2], &v) != TCL_OK || !(v > 0)) v = 0;
            if (v > 0.5) v = 0.5;
            meter = static_cast<float>(v);
        }
        setResult(interp, zarn::strPrintf("%f", static_cast<double>(meter)));
        return TCL_OK;
    case Z_GIMG:
        Tcl_ResetResult(interp);
        if (gimgNames) gimgNames(interp);
        return TCL_OK;
    case Z_UNBLOCK:
        if (argc > 2 && Tcl_GetInt(interp, argv[2], &unblockConsolePrint) != TCL_OK) return TCL_ERROR;
        setResult(interp, std::to_string(unblockConsolePrint));
        return TCL_OK;
    case Z_STDIO:
        installConsoleStdChannels(interp);
        Tcl_ResetResult(interp);
        return TCL_OK;
    case Z_STATUS:
        if (argc > 2) {
            int v;
            if (Tcl_GetInt(interp, argv[2], &v) != TCL_OK) return TCL_ERROR;
            zarnStatus = v < 0 ? 0 : v > 3 ? 3 : v;
        }
        setResult(interp, std::to_string(zarnStatus));
        return TCL_OK;
    case Z_TFLAG:
        setResult(interp, "ThreadFlag: 0\n");
        return TCL_OK;
    case Z_VERSION:
        setResult(interp, ZARN_PACKAGE_VERSION);
        return TCL_OK;
    default:
        return Tcl_EvalEx(interp, concatWords(argc - 1, argv + 1).c_str(), -1, 0);
    }
}

int appConCmd(ClientData, Tcl_Interp* interp, int argc, const char* argv[]) {
    try {
        return appConCmdBody(interp, argc, argv);
    } catch (const std::exception& e) {
        setResult(interp, e.what());
        return TCL_ERROR;
    }
}

void registerConsoleCommands(Tcl_Interp* con, int slot) {
    auto cd = reinterpret_cast<ClientData>(static_cast<intptr_t>(slot));
    Tcl_CreateCommand(con, "zarn", appConCmd, conData, nullptr);
    Tcl_CreateCommand(con, "setConStdIO", setConStdIOCmd, cd, nullptr);
    Tcl_CreateCommand(con, "conApp", conAppCmd, cd, nullptr);
    Tcl_CreateCommand(con, "conAppRec", conAppRecCmd, cd, nullptr);
}

}  // namespace

// ---- public ---------------------------------------------------------------------------

void delTclInterp(Tcl_Interp* interp) {
    if (!interp) return;
    if (tclInterp == interp) tclInterp = nullptr;
    Tcl_Preserve(interp);
    if (!Tcl_InterpDeleted(interp)) {
        if (Tk_Window w = zarnutil::mainWindowOf(interp)) Tk_DestroyWindow(w);
        if (!Tcl_InterpDeleted(interp)) Tcl_DeleteInterp(interp);
    }
    Tcl_Release(interp);
}

void copyZarnGlobal(Tcl_Interp* source, Tcl_Interp* target) {
    std::string home = getGimgHome(source);
    Tcl_SetVar2(target, "gimgHome", nullptr, home.c_str(), TCL_GLOBAL_ONLY);
    struct {
        const char* name;
        const char* fallback;
    } lists[] = {{"zarnAppScripts", "program.lib"}, {"zarnConScripts", "program.lib contk.lib"}};
    for (auto& l : lists) {
        const char* v = Tcl_GetVar2(source, l.name, nullptr, TCL_GLOBAL_ONLY);
        Tcl_SetVar2(target, l.name, nullptr, v ? v : l.fallback, TCL_GLOBAL_ONLY);
    }
}

Tcl_Interp* conTkInit(Tcl_Interp* parent, int slot) {
    Tcl_Interp* con = Tcl_CreateInterp();
    int code = Tcl_Init(con);
    if (code == TCL_OK) code = zarnutil::loadTk(con);
    Tk_Window main = code == TCL_OK ? zarnutil::mainWindowOf(con) : nullptr;
    if (main) Tk_MakeWindowExist(main);
    else code = TCL_ERROR;
    if (code == TCL_OK) code = initZArnModules(con);
    if (code == TCL_OK) {
        copyZarnGlobal(parent, con);
        registerConsoleCommands(con, slot);
        trackInterp(con);
        watchMainWindow(&conWatch[slot], slot, false, con);
        const char* tkv = Tcl_GetVar2(con, "tk_version", nullptr, TCL_GLOBAL_ONLY);
        std::string title = tkv ? zarn::strPrintf("Tk%s ZArn Console # %i", tkv, slot)
                                : zarn::strPrintf("Tk ZArn Console # %i", slot);
        zarnutil::evalWords(con, {"wm", "title", ".", title});
        code = Tcl_EvalEx(con,
                          "proc hide {} {wm withdraw .}\n"
                          "proc show {} {wm deiconify .}\n"
                          "proc title titleName {wm title . $titleName}\n"
                          "foreach s $zarnConScripts {calc decompload [file join $gimgHome $s]}",
                          -1, TCL_EVAL_GLOBAL);
    }
    if (code != TCL_OK) {
        const char* info = Tcl_GetVar2(con, "errorInfo", nullptr, TCL_GLOBAL_ONLY);
        Tcl_AppendResult(parent, "console: ", Tcl_GetStringResult(con), nullptr);
        if (info) Tcl_AddErrorInfo(parent, info);
        unwatch(&conWatch[slot]);
        delTclInterp(con);
        return nullptr;
    }
    return con;
}

int conInit(ConSlot* table, Tcl_Interp* interp, int create) {
    int slot = -1;
    for (int i = 0; i < kConSlots && slot < 0; ++i)
        if (table[i].appInterp == (create ? nullptr : interp)) slot = i;
    Tcl_ResetResult(interp);
    bool fresh = false;
    if (slot < 0) {
        // A new attachment takes the first free slot (never one in use).
        slot = create ? -1 : firstFreeSlot();
        if (slot < 0) {
            setResult(interp, "Too many consoles");
            return TCL_ERROR;
        }
        fresh = true;
    }
    ConSlot& s = table[slot];
    Tcl_Interp* app = interp;
    if (create) {
        app = Tcl_CreateInterp();
        int code = Tcl_Init(app);
        if (code == TCL_OK) code = zarnutil::loadTk(app);
        if (code == TCL_OK) {
            copyZarnGlobal(interp, app);
            code = AppCon_Init(app);
        }
        if (code != TCL_OK) {
            setResult(interp, std::string("Error in conInit: ") + Tcl_GetStringResult(app));
            delTclInterp(app);
            return TCL_ERROR;
        }
        registerAppCommands(app, slot);
        trackInterp(app);
        watchMainWindow(&appWatch[slot], slot, true, app);
        s.appInterp = app;
        Tcl_SetVar2(app, "tcl_interactive", nullptr, "1", TCL_GLOBAL_ONLY);
    } else if (fresh) {
        registerAppCommands(interp, slot);
        trackInterp(interp);
        watchMainWindow(&appWatch[slot], slot, true, interp);
        s.appInterp = interp;
    } else if (Tcl_Interp* old = s.conInterp) {
        // Re-attaching replaces the console: the old one goes once the
        // current events are through.
        unwatch(&conWatch[slot]);
        s.conInterp = nullptr;
        if (Tk_Window w = zarnutil::mainWindowOf(old)) Tk_DestroyWindow(w);
        tclUpdate(nullptr, TCL_ALL_EVENTS);
        if (tclInterp == old) tclInterp = nullptr;
        Tcl_Preserve(old);
        Tcl_CreateTimerHandler(128, deleteLater, old);
    }
    zarnutil::evalWordsQuietly(app, {"wm", "title", ".", zarn::strPrintf("Tk Main # %i", slot)});
    Tcl_Interp* con = conTkInit(app, slot);
    if (!con) {
        std::string why = Tcl_GetStringResult(app);
        Tcl_ResetResult(app);
        if (create) {
            unwatch(&appWatch[slot]);
            clearSlot(slot);
            delTclInterp(app);
        } else if (fresh) {
            unwatch(&appWatch[slot]);
            clearSlot(slot);
            Tcl_DeleteCommand(interp, "conTk");
            Tcl_DeleteCommand(interp, "console");
        }
        setResult(interp, "Error in conInit" + (why.empty() ? std::string() : ": " + why));
        return TCL_ERROR;
    }
    s.conInterp = con;
    if (create) setResult(interp, std::to_string(slot));
    return TCL_OK;
}

void conDeleteAll(ClientData) {
    if (exiting) {
        // At exit Tk tears its windows down itself; only forget the slots.
        fillSlotNames();
        appconInit = 0;
        return;
    }
    tclUpdate(nullptr, TCL_ALL_EVENTS);
    SlotPreserve hold;
    if (appconInit) {
        for (int i = 0; i < kConSlots; ++i) {
            ConSlot& s = conData[i];
            if (!s.appInterp && !s.conInterp) continue;
            if (tclInterp == s.appInterp) tclInterp = nullptr;
            Tcl_Interp* app = s.appInterp;
            Tcl_Interp* con = s.conInterp;
            unwatch(&appWatch[i]);
            unwatch(&conWatch[i]);
            clearSlot(i);
            for (Tcl_Interp* x : {app, con})
                if (x && !Tcl_InterpDeleted(x))
                    if (Tk_Window w = zarnutil::mainWindowOf(x)) Tk_DestroyWindow(w);
            scheduleDeletion(app, con);
        }
    }
    appconInit = 0;
}

void conMarkExiting() { exiting = true; }

namespace {
void consoleExitHandler(ClientData cd) {
    exiting = true;
    consoleExitProc(cd);
}
}  // namespace

extern "C" __attribute__((visibility("default"))) int AppCon_Init(Tcl_Interp* interp) {
    try {
        Tk_Window main = zarnutil::mainWindowOf(interp);
        if (!main) {
            setResult(interp, "the console needs Tk in this interpreter");
            return TCL_ERROR;
        }
        Tk_MakeWindowExist(main);
        if (!Tcl_CreateCommand(interp, "zarn", appConCmd, conData, nullptr)) return 1;
        if (!appconInit) {
            fillSlotNames();
            setupConsoleChannels(interp);
            if (!exitHandlerInstalled) {
                Tcl_CreateExitHandler(consoleExitHandler, nullptr);
                exitHandlerInstalled = true;
            }
            appconInit = 1;
        } else {
            registerConsoleChannels(interp);
        }
        return appInit(interp);
    } catch (const std::exception& e) {
        setResult(interp, e.what());
        return TCL_ERROR;
    }
}

// Used by patchTkCon: the console interpreter behind a "console" command of
// this package, or null for any other console command.
Tcl_Interp* packageConsoleOf(Tcl_Interp* interp) {
    Tcl_CmdInfo info;
    if (!Tcl_GetCommandInfo(interp, "console", &info) || info.proc != conTkCmd) return nullptr;
    return conData[slotOf(info.clientData)].conInterp;
}

void registerSetConStdIO(Tcl_Interp* con) { Tcl_CreateCommand(con, "setConStdIO", setConStdIOCmd, nullptr, nullptr); }
