// The calc command: registration, dispatch and the script-library
// subcommands (decompload, compsave, comptest).
#include "calc/calc.h"

#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "calc/container.h"
#include "init/modules.h"
#include "init/output.h"
#include "init/stdio.h"
#include "init/subcmd.h"
#include "init/tclutil.h"
#include "ramimage/fileio.h"

namespace {

using zarnutil::setResult;

struct CalcEntry {
    SubCommand name;
    calc::SubProc proc;
};

// Names under one first letter are tried in this order.
const CalcEntry kCalc[] = {
    {{"chars", 5}, calc::chars},          {{"correl", 5}, calc::correl},
    {{"comptest", 5}, calc::compTest},    {{"compsave", 5}, calc::compSave},
    {{"clrscr", 5}, calc::clrscr},        {{"bands", 4}, calc::bands},
    {{"d2r", 3}, calc::d2r},              {{"decompload", 4}, calc::deCompLoad},
    {{"egv", 3}, calc::numericTool},      {{"ftime", 3}, calc::ftime},
    {{"fplane", 3}, calc::numericTool},   {{"freeDisk", 3}, calc::freeDisk},
    {{"fgets", 3}, calc::fgets},          {{"geocalc", 5}, calc::numericTool},
    {{"loadtime", 4}, calc::loadtime},    {{"makefft", 4}, calc::numericTool},
    {{"malloc", 4}, calc::mallocProbe},   {{"memid", 4}, calc::memid},
    {{"meter", 4}, calc::meter},          {{"panic", 3}, calc::panicCmd},
    {{"r2d", 3}, calc::r2d},              {{"refImgCoord", 3}, calc::numericTool},
    {{"rand", 3}, calc::rand},            {{"rrand", 3}, calc::rrand},
    {{"stime", 4}, calc::stime},          {{"scramble", 4}, calc::scramble},
    {{"test", 4}, calc::test},            {{"xyzRotate", 3}, calc::numericTool},
};

const char kHelp[] =
    "Commands: bands chars clrscr correl comptest compsave egv decompload d2r fgets fplane ftime freeDisk "
    "galloc gfree geocalc handles loadtime makefft malloc memid memory meter panic test rand refImgCoord "
    "rrand r2d scramble stime xyzRotate";

int calcDispatch(Tcl_Interp* interp, int argc, const char* argv[]) {
    if (argc < 2) {
        setResult(interp, kHelp);
        return TCL_OK;
    }
    SubCommand names[std::size(kCalc)];
    for (size_t i = 0; i < std::size(kCalc); ++i) names[i] = kCalc[i].name;
    int sub = matchSubcommand(names, std::size(names), argv[1]);
    if (sub < 0) {
        setResult(interp, "Unknown command");
        return TCL_OK;
    }
    Tcl_ResetResult(interp);
    return kCalc[sub].proc(interp, argc, argv);
}

// calc subcommand args...: runs one utility; see the help line.  What each
// returns and changes is told at its procedure.
int calcCmd(ClientData, Tcl_Interp* interp, int argc, const char* argv[]) {
    try {
        return calcDispatch(interp, argc, argv);
    } catch (const std::exception& e) {
        setResult(interp, std::string("calc: ") + e.what());
        return TCL_ERROR;
    }
}

// A failure of a library subcommand: the message goes into the error
// information and, tagged, into the result.
int reportErr(Tcl_Interp* interp, const char* tag, const std::string& message) {
    Tcl_AddErrorInfo(interp, message.c_str());
    setResult(interp, std::string(tag) + ": " + message);
    return TCL_ERROR;
}

std::string readWholeFd(int fd, bool* ok) {
    std::string out;
    char buf[4096];
    int64_t off = 0;
    for (;;) {
        int64_t n = zarn::readAt(fd, buf, sizeof buf, off);
        if (n < 0) {
            *ok = false;
            return out;
        }
        if (n == 0) break;
        out.append(buf, static_cast<size_t>(n));
        off += n;
    }
    *ok = true;
    return out;
}

// Evaluates a library's script as source would, with [info script] naming
// the library file meanwhile.
int evalLibrary(Tcl_Interp* interp, const std::string& script, const char* fileName) {
    Tcl_InterpState state = Tcl_SaveInterpState(interp, TCL_OK);
    bool scriptSet = zarnutil::evalWords(interp, {"info", "script"}) == TCL_OK;
    std::string previous = scriptSet ? Tcl_GetStringResult(interp) : "";
    Tcl_RestoreInterpState(interp, state);
    if (scriptSet) zarnutil::evalWordsQuietly(interp, {"info", "script", fileName});
    int code = Tcl_EvalEx(interp, script.data(), static_cast<int>(script.size()), 0);
    if (code == TCL_RETURN) {
        // A return at the library's top level ends the library, as it ends a
        // sourced file: one level of the return is used up here.
        Tcl_Obj* options = Tcl_GetReturnOptions(interp, code);
        Tcl_IncrRefCount(options);
        Tcl_Obj* key = Tcl_NewStringObj("-level", -1);
        Tcl_IncrRefCount(key);
        Tcl_Obj* levelObj = nullptr;
        int level = 1;
        if (Tcl_DictObjGet(nullptr, options, key, &levelObj) == TCL_OK && levelObj)
            Tcl_GetIntFromObj(nullptr, levelObj, &level);
        Tcl_DictObjPut(nullptr, options, key, Tcl_NewIntObj(level > 0 ? level - 1 : 0));
        code = Tcl_SetReturnOptions(interp, options);
        Tcl_DecrRefCount(key);
        Tcl_DecrRefCount(options);
    }
    if (code == TCL_ERROR) {
        Tcl_AddErrorInfo(interp,
                         zarn::strPrintf("\n    (script library \"%s\" line %d)", fileName, Tcl_GetErrorLine(interp))
                             .c_str());
    }
    if (scriptSet) zarnutil::evalWordsQuietly(interp, {"info", "script", previous});
    return code;
}

}  // namespace

namespace calc {

// calc decompload fileName ?source?: evaluates a script library (plain Tcl or
// a container) and returns the script's status and result; with "source"
// returns the script text instead and evaluates nothing.
int deCompLoad(Tcl_Interp* interp, int argc, const char* argv[]) {
    bool asSource = argc == 4 && std::strcmp(argv[3], "source") == 0;
    if (argc != 3 && !asSource) {
        zarn::conPrintf(zarn::kStdout, "Usage: %s %s fileName\n", argv[0], argv[1]);
        setResult(interp, zarn::strPrintf("Usage: %s %s fileName ?source?", argv[0], argv[1]));
        return TCL_ERROR;
    }
    std::string name;
    if (!translateFileName(interp, &name, argv[2])) return reportErr(interp, "deCompLoad", "Error in open.\n");
    zarn::UniqueFd fd(::open(name.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd)
        return reportErr(interp, "deCompLoad",
                         zarn::strPrintf("Error in open.\n%s: %s", argv[2], std::strerror(errno)));
    uint8_t head[zarn::kContainerHeaderSize];
    int64_t got = zarn::readAt(fd.get(), head, sizeof head, 0);
    if (got < 0) return reportErr(interp, "deCompLoad", "Error in reading.\n");
    std::string script;
    if (!zarn::isContainer(head, static_cast<size_t>(got))) {
        if (!asSource) {
            fd.reset();
            return Tcl_EvalFile(interp, name.c_str());
        }
        bool ok;
        script = readWholeFd(fd.get(), &ok);
        if (!ok) return reportErr(interp, "deCompLoad", "Error in reading.\n");
    } else {
        zarn::ContainerResult r = zarn::readContainerFd(fd.get());
        if (!r.ok) {
            if (r.zlibStatus != 0) zarn::conPrintf(zarn::kStderr, "Error in uncompress: %d\n", r.zlibStatus);
            return reportErr(interp, "deCompLoad", r.error + " (" + argv[2] + ")");
        }
        script = std::move(r.script);
    }
    fd.reset();
    if (asSource) {
        setResult(interp, script);
        return TCL_OK;
    }
    return evalLibrary(interp, script, name.c_str());
}

// calc compsave fileName string: writes string as a library container (file
// mode 0600); returns payload length / script length as "%.3f".
int compSave(Tcl_Interp* interp, int argc, const char* argv[]) {
    if (argc != 4) {
        zarn::conPrintf(zarn::kStdout, "Usage: %s %s fileName string.\n", argv[0], argv[1]);
        setResult(interp, zarn::strPrintf("Usage: %s %s fileName string.", argv[0], argv[1]));
        return TCL_ERROR;
    }
    std::string name, error;
    if (!translateFileName(interp, &name, argv[2])) return reportErr(interp, "CompSave", "Error in open.\n");
    double ratio = 0;
    if (!zarn::writeContainerFile(name.c_str(), argv[3], &ratio, &error))
        return reportErr(interp, "CompSave", error + " (" + argv[2] + ")");
    setResult(interp, zarn::strPrintf("%.3f", ratio));
    return TCL_OK;
}

// calc comptest varName: compresses and decompresses the global variable's
// value and compares; reports the sizes on standard output.
int compTest(Tcl_Interp* interp, int argc, const char* argv[]) {
    if (argc != 3) {
        zarn::conPrintf(zarn::kStdout, "Usage: %s %s string.\n", argv[0], argv[1]);
        return TCL_ERROR;
    }
    const char* value = Tcl_GetVar2(interp, argv[2], nullptr, TCL_GLOBAL_ONLY);
    if (!value) {
        zarn::conPrintf(zarn::kStderr, "can't find variable named %s\n", argv[2]);
        return TCL_ERROR;
    }
    uLong len = static_cast<uLong>(std::strlen(value)) + 1;
    std::vector<Bytef> packed(::compressBound(len));
    uLongf packedLen = packed.size();
    int z = ::compress(packed.data(), &packedLen, reinterpret_cast<const Bytef*>(value), len);
    if (z != Z_OK) {
        zarn::conPrintf(zarn::kStderr, "Error in compress: %d\n", z);
        return TCL_ERROR;
    }
    std::vector<Bytef> back(len);
    uLongf backLen = len;
    z = ::uncompress(back.data(), &backLen, packed.data(), packedLen);
    if (z != Z_OK) {
        zarn::conPrintf(zarn::kStderr, "Error in uncompress: %d\n", z);
        return TCL_ERROR;
    }
    if (backLen != len || std::memcmp(back.data(), value, len) != 0) {
        zarn::conPrintf(zarn::kStderr, "Error in compressing\n");
        return TCL_ERROR;
    }
    zarn::conPrintf(zarn::kStdout, "len: %lu compLen: %lu compressing ratio: %.6f\n", static_cast<unsigned long>(len),
                    static_cast<unsigned long>(packedLen), static_cast<double>(packedLen) / static_cast<double>(len));
    return TCL_OK;
}

}  // namespace calc

int Calc_Init(Tcl_Interp* interp) {
    return Tcl_CreateCommand(interp, "calc", calcCmd, nullptr, nullptr) ? TCL_OK : TCL_ERROR;
}
