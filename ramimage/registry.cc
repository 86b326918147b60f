// The format registry: the built-in recognisers in their fixed order, plus
// the lists of recognisers added at run time before and after them.
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <exception>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "formats/formats.h"
#include "init/output.h"
#include "ramimage/registry.h"

namespace {

struct BuiltIn {
    RecogniseProc proc;
};

// Tried in this order; the first that recognises the file decides.
constexpr BuiltIn kBuiltIns[] = {
    {imgDicom}, {imgDIB}, {imgXBMP}, {imgErdas}, {imgGif}, {imgFFT},
    {imgElas},  {imgTiff}, {imgJPEG}, {imgBASIC}, {imgPPM},
};

std::vector<RecogniseProc> gFirstTried;
std::vector<RecogniseProc> gLastTried;

struct RecognitionAbort : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Runs one recogniser on a fresh head.  > 0: recognised (storage code).
int tryOne(RecogniseProc proc, int fd, const char* name, ImageHead* head, HandlerPtr* priv) {
    ImageHead work = blankImageHead();
    std::memcpy(work.file, head->file, sizeof work.file);
    HandlerPtr data;
    int r;
    try {
        r = proc(fd, name, &work, &data);
    } catch (const RecognitionAbort&) {
        return -1;
    } catch (const std::bad_alloc&) {
        zarn::conPuts(zarn::kStderr, "Memory allocation error in format recognition\n");
        return -1;
    } catch (const std::exception& e) {
        zarn::conPrintf(zarn::kStderr, "Error in format recognition: %s\n", e.what());
        return -1;
    }
    if (r > 0) {
        *head = work;
        *priv = std::move(data);
        return work.imgid > 0 ? work.imgid : r;
    }
    if (r < 0 && work.altFd >= 0 && work.altFd != fd) ::close(work.altFd);
    return r;
}

int tryList(const std::vector<RecogniseProc>& list, int fd, const char* name, ImageHead* head, HandlerPtr* priv,
            bool* decided) {
    // Copy: a recogniser may change the registry.
    std::vector<RecogniseProc> procs = list;
    for (RecogniseProc p : procs) {
        int r = tryOne(p, fd, name, head, priv);
        if (r != 0) {
            *decided = true;
            return r > 0 ? r : -1;
        }
    }
    return 0;
}

void removeFrom(std::vector<RecogniseProc>& list, RecogniseProc proc) {
    auto it = std::find(list.begin(), list.end(), proc);
    if (it != list.end()) list.erase(it);
}

}  // namespace

int imgTypes(int fd, const char* name, ImageHead* head, HandlerPtr* priv) {
    priv->reset();
    head->altFd = -1;
    head->nvolumes = 0;
    bool decided = false;
    int r = tryList(gFirstTried, fd, name, head, priv, &decided);
    if (decided) return r;
    for (const BuiltIn& b : kBuiltIns) {
        r = tryOne(b.proc, fd, name, head, priv);
        if (r != 0) return r > 0 ? r : -1;
    }
    r = tryList(gLastTried, fd, name, head, priv, &decided);
    if (decided) return r;
    r = tryOne(imgMPEG, fd, name, head, priv);
    return r > 0 ? r : (r < 0 ? -1 : 0);
}

void imgTypeAdd(RecogniseProc proc, int after) {
    if (!proc) return;
    imgTypeRemove(proc);
    if (after)
        gLastTried.push_back(proc);
    else
        gFirstTried.insert(gFirstTried.begin(), proc);
}

void imgTypeRemove(RecogniseProc proc) {
    removeFrom(gFirstTried, proc);
    removeFrom(gLastTried, proc);
}

void imgTypeFree() {
    gFirstTried.clear();
    gFirstTried.shrink_to_fit();
    gLastTried.clear();
    gLastTried.shrink_to_fit();
}

int imgTypeCount(int after) { return static_cast<int>(after ? gLastTried.size() : gFirstTried.size()); }

void imageTypeInitAbort(const char* message) {
    if (message && *message) zarn::conPrintf(zarn::kStderr, "%s\n", message);
    throw RecognitionAbort(message ? message : "");
}
