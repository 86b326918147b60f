// The small utility subcommands of calc.
#include <fcntl.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "apps/options.h"
#include "calc/calc.h"
#include "calc/correl.h"
#include "calc/shuffle.h"
#include "init/output.h"
#include "init/stdio.h"
#include "init/tclutil.h"
#include "ramimage/fileio.h"

namespace {

using zarnutil::setResult;

int usage(Tcl_Interp* interp, const std::string& text, int code) {
    setResult(interp, text);
    return code;
}

bool getDouble(Tcl_Interp* interp, const char* s, double* v) { return Tcl_GetDouble(interp, s, v) == TCL_OK; }

bool getDoubles(Tcl_Interp* interp, const char* list, std::vector<double>* out) {
    int n;
    const char** items;
    if (Tcl_SplitList(interp, list, &n, &items) != TCL_OK) return false;
    out->resize(static_cast<size_t>(n));
    bool ok = true;
    for (int i = 0; i < n && ok; ++i) ok = getDouble(interp, items[i], &(*out)[static_cast<size_t>(i)]);
    Tcl_Free(reinterpret_cast<char*>(items));
    return ok;
}

// The debug integer of calc memid.
int memidValue = 0;

int addressInt(const void* p) { return static_cast<int>(reinterpret_cast<intptr_t>(p)); }

// Results with more numbers than this are refused rather than built.
constexpr int64_t kMaxListedNumbers = int64_t(1) << 24;

}  // namespace

namespace calc {

// calc chars characters ?offset?: the code of every byte plus offset.
int chars(Tcl_Interp* interp, int argc, const char* argv[]) {
    if (argc != 3 && argc != 4) return usage(interp, "Usage: calc chars characters [offset]\n", TCL_OK);
    int offset = 0;
    if (argc == 4 && Tcl_GetInt(interp, argv[3], &offset) != TCL_OK) return TCL_ERROR;
    std::string out;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(argv[2]); *p; ++p) {
        out += std::to_string(static_cast<int>(*p) + offset);
        out += ' ';
    }
    setResult(interp, out);
    return TCL_OK;
}

// calc correl list1 list2 ?start ?n??: best squared correlation and its
// offset as "%.8f %d", or an empty result.
int correl(Tcl_Interp* interp, int argc, const char* argv[]) {
    if (argc < 4 || argc > 6)
        return usage(interp, std::string("Usage: ") + argv[0] + " " + argv[1] + " list1 list2 start n", TCL_ERROR);
    std::vector<double> a, b;
    if (!getDoubles(interp, argv[2], &a) || !getDoubles(interp, argv[3], &b)) return TCL_ERROR;
    int start = 0, n = 4096;
    if (argc > 4 && Tcl_GetInt(interp, argv[4], &start) != TCL_OK) return TCL_ERROR;
    if (argc > 5 && Tcl_GetInt(interp, argv[5], &n) != TCL_OK) return TCL_ERROR;
    zarn::CorrelResult r = zarn::slidingCorrelation(a, b, start, n);
    if (r.empty) return usage(interp, "Empty input lists.", TCL_OK);
    if (r.found) setResult(interp, zarn::strPrintf("%.8f %d", r.r2, r.offset));
    return TCL_OK;
}

// calc clrscr: clears the console window.
int clrscr(Tcl_Interp*, int, const char*[]) {
    clearConsole();
    return TCL_OK;
}

// calc bands spec: prints each input/output band pair the parser makes.
int bands(Tcl_Interp* interp, int argc, const char* argv[]) {
    if (argc != 3) return usage(interp, "Usage: calc bands bandSpec", TCL_ERROR);
    constexpr int kMax = 8192;
    std::vector<int> in(kMax), out(kMax);
    int n = parseBands(kMax, kMax, in.data(), out.data(), argv[2]);
    if (n <= 0) {
        zarn::conPrintf(zarn::kStderr, "Error in parse bands: %s\n", argv[2]);
        return usage(interp, std::string("Error in parse bands: ") + argv[2], TCL_ERROR);
    }
    for (int i = 0; i < n && i < kMax; ++i) zarn::conPrintf(zarn::kStdout, "%d %d\n", in[i], out[i]);
    return TCL_OK;
}

// calc d2r degree: the angle in radians, "%f".
int d2r(Tcl_Interp* interp, int argc, const char* argv[]) {
    if (argc != 3) return usage(interp, std::string("Usage: ") + argv[0] + " " + argv[1] + " degree\n", TCL_OK);
    double v;
    if (!getDouble(interp, argv[2], &v)) return TCL_ERROR;
    setResult(interp, zarn::strPrintf("%f", v * M_PI / 180.0));
    return TCL_OK;
}

// calc r2d radian: the angle in degrees, "%f".
int r2d(Tcl_Interp* interp, int argc, const char* argv[]) {
    if (argc != 3) return usage(interp, std::string("Usage: ") + argv[0] + " " + argv[1] + " radian\n", TCL_OK);
    double v;
    if (!getDouble(interp, argv[2], &v)) return TCL_ERROR;
    setResult(interp, zarn::strPrintf("%f", v * 180.0 / M_PI));
    return TCL_OK;
}

// calc ftime ?short|long?: the current time.
int ftime(Tcl_Interp* interp, int argc, const char* argv[]) {
    bool longForm = argc == 3 && std::strcmp(argv[2], "long") == 0;
    bool shortForm = argc == 2 || (argc == 3 && std::strcmp(argv[2], "short") == 0);
    if (!longForm && !shortForm) return usage(interp, "Usage: calc ftime [short|long]\n", TCL_ERROR);
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    long ms = ts.tv_nsec / 1000000;
    if (shortForm) {
        setResult(interp, zarn::strPrintf("%.3f", static_cast<double>(ts.tv_sec) + ms / 1000.0));
        return TCL_OK;
    }
    struct tm local;
    time_t now = ts.tv_sec;
    localtime_r(&now, &local);
    // Minutes west of Greenwich, as the old timeb record kept them.
    long zone = -(local.tm_gmtoff / 60) + (local.tm_isdst > 0 ? 60 : 0);
    setResult(interp, zarn::strPrintf("%ld %ld %ld %ld", static_cast<long>(ts.tv_sec), ms, zone,
                                      static_cast<long>(local.tm_isdst > 0)));
    return TCL_OK;
}

// calc freeDisk ?path?: free bytes for unprivileged users, or -1.
int freeDisk(Tcl_Interp* interp, int argc, const char* argv[]) {
    if (argc > 3) return usage(interp, "Usage: calc freeDisk [path]\n", TCL_ERROR);
    std::string path = ".";
    if (argc == 3 && !translateFileName(interp, &path, argv[2])) path.clear();
    double free = path.empty() ? -1 : zarn::freeDiskSpace(path.c_str());
    setResult(interp, zarn::strPrintf("%.f", free));
    return TCL_OK;
}

// calc fgets fileName: copies the file to standard output.
int fgets(Tcl_Interp* interp, int argc, const char* argv[]) {
    if (argc < 3) return usage(interp, "usage: calc fgets fileName\n", TCL_ERROR);
    std::string name;
    zarn::UniqueFd fd;
    if (translateFileName(interp, &name, argv[2])) fd.reset(::open(name.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return usage(interp, zarn::strPrintf("Error in open %s\n", argv[2]), TCL_ERROR);
    char buf[1024];
    int64_t off = 0, n;
    while ((n = zarn::readAt(fd.get(), buf, sizeof buf, off)) > 0) {
        zarn::conPuts(zarn::kStdout, std::string_view(buf, static_cast<size_t>(n)));
        off += n;
    }
    return TCL_OK;
}

// calc loadtime file ?offset?: the file's 4-byte native integers from offset.
int loadtime(Tcl_Interp* interp, int argc, const char* argv[]) {
    if (argc != 3 && argc != 4) return usage(interp, "Usage: calc loadtime file [offset]", TCL_ERROR);
    Tcl_WideInt offset = 0;
    if (argc == 4) {
        Tcl_Obj* o = Tcl_NewStringObj(argv[3], -1);
        Tcl_IncrRefCount(o);
        int bad = Tcl_GetWideIntFromObj(interp, o, &offset);
        Tcl_DecrRefCount(o);
        if (bad != TCL_OK) return TCL_ERROR;
        if (offset < 0) return usage(interp, "Invalid offset.", TCL_ERROR);
    }
    std::string name;
    zarn::UniqueFd fd;
    if (translateFileName(interp, &name, argv[2])) fd.reset(::open(name.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) {
        zarn::conPrintf(zarn::kStderr, "Error in open: %s\n", argv[2]);
        return usage(interp, zarn::strPrintf("Error in open: %s", argv[2]), TCL_ERROR);
    }
    int64_t size = zarn::fileSize(fd.get());
    int64_t count = size > offset ? (size - offset) / 4 : 0;
    if (count > kMaxListedNumbers) return usage(interp, "File too large for loadtime.", TCL_ERROR);
    std::vector<int32_t> v(static_cast<size_t>(count));
    int64_t got = count ? zarn::readAt(fd.get(), v.data(), static_cast<size_t>(count) * 4, offset) : 0;
    if (got < 0) return usage(interp, "Error in reading.", TCL_ERROR);
    std::string out;
    for (int64_t i = 0; i < got / 4; ++i) {
        out += std::to_string(static_cast<long>(v[static_cast<size_t>(i)]));
        out += ' ';
    }
    setResult(interp, out);
    return TCL_OK;
}

// calc malloc ?size ?parts??: "1" when a block of size bytes can be grown
// to in steps of size/parts (twice over), else "0".  Nothing stays allocated.
int mallocProbe(Tcl_Interp* interp, int argc, const char* argv[]) {
    double size = 16384, parts = 1;
    if (argc > 2 && !getDouble(interp, argv[2], &size)) return TCL_ERROR;
    if (argc > 3 && !getDouble(interp, argv[3], &parts)) return TCL_ERROR;
    if (!(size > 0)) size = 16384;
    // A size past what a process's address space can hold (128 TiB) is
    // simply not available; the allocator is not even asked.
    if (size > 140737488355328.0) {
        setResult(interp, "0");
        return TCL_OK;
    }
    if (!(parts > 0)) parts = 1;
    // Bound the number of steps so the probe always ends quickly.
    if (parts > 65536) parts = 65536;
    auto total = static_cast<size_t>(size);
    auto step = static_cast<size_t>(size / parts);
    if (step == 0) step = 1;
    bool ok = true;
    for (int pass = 0; pass < 2 && ok; ++pass) {
        void* block = nullptr;
        for (size_t cur = step;; cur += step) {
            if (cur > total) cur = total;
            void* grown = std::realloc(block, cur);
            if (!grown) {
                ok = false;
                break;
            }
            block = grown;
            if (cur == total) break;
        }
        std::free(block);
    }
    setResult(interp, ok ? "1" : "0");
    return TCL_OK;
}

// calc memid ?address ?value??: shows or sets the debug integer.
int memid(Tcl_Interp* interp, int argc, const char* argv[]) {
    if (argc < 3) {
        zarn::conPrintf(zarn::kStdout, "memid: %d value: %d\n", addressInt(&memidValue), memidValue);
        return TCL_OK;
    }
    int address, value;
    if (Tcl_GetInt(interp, argv[2], &address) != TCL_OK) return TCL_ERROR;
    if (address != addressInt(&memidValue)) {
        zarn::conPrintf(zarn::kStderr, "Wrong address: %d\n", address);
        return TCL_OK;
    }
    value = address;
    if (argc > 3 && Tcl_GetInt(interp, argv[3], &value) != TCL_OK) return TCL_ERROR;
    memidValue = value;
    return TCL_OK;
}

// calc meter ?msg pct?: resets the progress meter, or sets it to pct percent.
int meter(Tcl_Interp* interp, int argc, const char* argv[]) {
    if (argc == 2) {
        meterReset();
        return TCL_OK;
    }
    if (argc != 4) return usage(interp, "Usage: calc meter msg pct", TCL_ERROR);
    double pct;
    if (!getDouble(interp, argv[3], &pct)) return TCL_ERROR;
    zarn::conPrintf(zarn::kStderr, "pct: %s %f\n", argv[2], pct);
    meterSet(argv[2], pct / 100.0);
    return TCL_OK;
}

// calc panic ?messages?: hands each message to the panic procedure (which
// does not end the process when called this way); status ERROR.
int panicCmd(Tcl_Interp* interp, int argc, const char* argv[]) {
    if (argc < 3) userPanic("%s", " messages of panic may be displayed at a console that has the focus!");
    for (int i = 2; i < argc; ++i) userPanic("%s", argv[i]);
    Tcl_ResetResult(interp);
    return TCL_ERROR;
}

// calc rand ?seed|max?: the next rand() value; "max" gives RAND_MAX; a
// number seeds the generator first.
int rand(Tcl_Interp* interp, int argc, const char* argv[]) {
    if (argc > 3) return usage(interp, zarn::strPrintf("Usage: %s %s [seed|max]", argv[0], argv[1]), TCL_ERROR);
    if (argc == 3) {
        if (std::strcmp(argv[2], "max") == 0) {
            setResult(interp, std::to_string(RAND_MAX));
            return TCL_OK;
        }
        int seed;
        if (Tcl_GetInt(interp, argv[2], &seed) != TCL_OK) return TCL_ERROR;
        std::srand(static_cast<unsigned>(seed));
    }
    setResult(interp, std::to_string(std::rand()));
    return TCL_OK;
}

// calc rrand ?density?: mean of density rand() draws scaled to 0..1.
int rrand(Tcl_Interp* interp, int argc, const char* argv[]) {
    if (argc > 3) return usage(interp, zarn::strPrintf("Usage: %s %s [density]", argv[0], argv[1]), TCL_ERROR);
    int density = 1;
    if (argc == 3 && (Tcl_GetInt(nullptr, argv[2], &density) != TCL_OK || density < 1))
        return usage(interp, "density must be an integer.", TCL_ERROR);
    if (density > (1 << 24)) return usage(interp, "density too large.", TCL_ERROR);
    double sum = 0;
    for (int i = 0; i < density; ++i) sum += std::rand();
    setResult(interp, zarn::strPrintf("%.8f", sum / (static_cast<double>(density) * RAND_MAX)));
    return TCL_OK;
}

// calc scramble n|list: 0..n-1, or the list's elements, in random order.
int scramble(Tcl_Interp* interp, int argc, const char* argv[]) {
    if (argc != 3) {
        zarn::conPrintf(zarn::kStdout, "Usage %s %s n|list\n", argv[0], argv[1]);
        return usage(interp, zarn::strPrintf("Usage %s %s n|list", argv[0], argv[1]), TCL_ERROR);
    }
    int count;
    const char** items;
    if (Tcl_SplitList(interp, argv[2], &count, &items) != TCL_OK) return TCL_ERROR;
    std::string out;
    if (count == 1) {
        int n;
        bool ok = Tcl_GetInt(nullptr, items[0], &n) == TCL_OK && n > 0 && n <= kMaxListedNumbers;
        Tcl_Free(reinterpret_cast<char*>(items));
        if (!ok) return usage(interp, "Invalid scramble param.\n", TCL_ERROR);
        for (int v : zarn::randomPermutation(n)) {
            if (!out.empty()) out += ' ';
            out += std::to_string(v);
        }
    } else {
        // Elements keep their list quoting, so "{c d}" stays one element.
        std::vector<const char*> shuffled;
        for (int v : zarn::randomPermutation(count)) shuffled.push_back(items[v]);
        char* merged = Tcl_Merge(count, shuffled.data());
        out = merged;
        Tcl_Free(merged);
        Tcl_Free(reinterpret_cast<char*>(items));
        if (count == 0) return usage(interp, "Invalid scramble param.\n", TCL_ERROR);
    }
    setResult(interp, out);
    return TCL_OK;
}

// calc stime seconds: sets the system clock (needs the privilege).
int stime(Tcl_Interp* interp, int argc, const char* argv[]) {
    if (argc != 3) return usage(interp, "Usage: calc stime seconds\n", TCL_ERROR);
    Tcl_Obj* o = Tcl_NewStringObj(argv[2], -1);
    Tcl_IncrRefCount(o);
    Tcl_WideInt secs;
    int bad = Tcl_GetWideIntFromObj(interp, o, &secs);
    Tcl_DecrRefCount(o);
    if (bad != TCL_OK) return TCL_ERROR;
    struct timespec ts = {static_cast<time_t>(secs), 0};
    if (clock_settime(CLOCK_REALTIME, &ts) != 0)
        return usage(interp, std::string("Error in stime: ") + std::strerror(errno), TCL_ERROR);
    return TCL_OK;
}

// calc test: shows the standard descriptors and echoes a number and a word
// read from the console.
int test(Tcl_Interp*, int, const char*[]) {
    zarn::conPrintf(zarn::kStdout, "stdin: %d stdout: %d stderr: %d\n", fileno(stdin), fileno(stdout), fileno(stderr));
    zarn::conPuts(zarn::kStdout, "Enter a number and a string: ");
    int length = 0;
    char* line = conGets(&length);
    if (!line) {
        zarn::conPuts(zarn::kStdout, "\nNo input.\n");
        return TCL_OK;
    }
    std::string text(line, static_cast<size_t>(length));
    char* end = nullptr;
    long number = std::strtol(text.c_str(), &end, 10);
    std::string word = end ? end : "";
    size_t a = word.find_first_not_of(" \t");
    word = a == std::string::npos ? "" : word.substr(a);
    zarn::conPrintf(zarn::kStdout, "number: %ld string: %s\n", number, word.c_str());
    return TCL_OK;
}

// The numeric tools of later modules: not available until they are built in.
int numericTool(Tcl_Interp* interp, int, const char* argv[]) {
    zarn::conPrintf(zarn::kStderr, "%s %s: not available in this build\n", argv[0], argv[1]);
    setResult(interp, std::string(argv[0]) + " " + argv[1] + ": not available in this build");
    return TCL_ERROR;
}

}  // namespace calc
