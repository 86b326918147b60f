// The dicom command: a data dictionary the scripts load, and listings of the
// elements of a DICOM file or of an open DICOM image.
#include <fcntl.h>
#include <tcl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>

#include "init/tclresult.h"
#include "formats/dicom.h"
#include "init/modules.h"
#include "init/output.h"
#include "init/subcmd.h"
#include "ramimage/fileio.h"

namespace {

// One dictionary for the whole process, made on the first use of any dicom
// command and dropped when the last such command is deleted, so that one
// interpreter going away never pulls it from under another.
std::unique_ptr<DicomDictionary> gDictionary;
int gCommands = 0;

DicomDictionary& dictionary() {
    if (!gDictionary) gDictionary = std::make_unique<DicomDictionary>();
    return *gDictionary;
}

const SubCommand kSubcommands[] = {{"add", 1}, {"count", 1}, {"data", 1}, {"get", 1}, {"index", 1}};
enum { SUB_ADD, SUB_COUNT, SUB_DATA, SUB_GET, SUB_INDEX };

Tcl_Obj* stringList(const std::vector<std::string>& items) {
    Tcl_Obj* list = Tcl_NewListObj(0, nullptr);
    for (const std::string& s : items)
        appendString(list, s);
    return list;
}

int addEntries(Tcl_Interp* interp, int argc, const char** argv) {
    DicomDictionary& dict = dictionary();
    for (int i = 2; i < argc; ++i) {
        int n = 0;
        const char** words = nullptr;
        if (Tcl_SplitList(interp, argv[i], &n, &words) != TCL_OK) return silentError(interp);
        std::vector<std::string_view> parts(words, words + n);
        bool ok = dict.add(parts);
        Tcl_Free(reinterpret_cast<char*>(words));
        if (!ok) return silentError(interp);
    }
    setResult(interp, std::to_string(dict.count()));
    return TCL_OK;
}

int getEntry(Tcl_Interp* interp, int argc, const char** argv) {
    unsigned group, element;
    if (argc != 4 || !parseDicomHex(argv[2], &group) || !parseDicomHex(argv[3], &element)) return silentError(interp);
    setResult(interp, dictionary().format(dicomKey(group, element)));
    return TCL_OK;
}

int indexEntries(Tcl_Interp* interp, int argc, const char** argv) {
    if (argc > 4) return silentError(interp);
    int from = 0;
    if (argc > 2 && Tcl_GetInt(interp, argv[2], &from) != TCL_OK) return TCL_ERROR;
    int to = from;
    if (argc > 3 && Tcl_GetInt(interp, argv[3], &to) != TCL_OK) return TCL_ERROR;
    Tcl_SetObjResult(interp, stringList(dictionary().index(from, to)));
    return TCL_OK;
}

// The element table of an open DICOM image, or of the named file parsed
// into `owned`; null after a message in the result.
const DicomTable* dataSource(Tcl_Interp* interp, const char* name, std::unique_ptr<DicomTable>& owned) {
    RAMImage* img = getRAMImageByTag(name);
    if (!img) img = getRAMImageByName(name);
    if (img) {
        auto* table = dynamic_cast<const DicomTable*>(img->privData.get());
        if (img->head.mapid == MAP_DICOM && table) return table;
        fail(interp, std::string("Not a DICOM image") + name);
        return nullptr;
    }
    // Only read: an inspection must work on files the user may not write.
    zarn::UniqueFd fd(::open(name, O_RDONLY | O_CLOEXEC));
    if (!fd) fd.reset(::open(name, O_RDONLY | O_CLOEXEC));
    if (!fd) {
        fail(interp, std::string("Error in open:") + name);
        return nullptr;
    }
    if (parseDicom(fd.get(), owned) != DicomParse::Ok) {
        fail(interp, std::string("Not a DICOM image") + name);
        return nullptr;
    }
    return owned.get();
}

void appendRecord(Tcl_DString* out, const DicomElement& e, const DicomDictionary& dict) {
    char word[8];
    std::snprintf(word, sizeof word, "%04x", e.group);
    Tcl_DStringAppendElement(out, word);
    std::snprintf(word, sizeof word, "%04x", e.element);
    Tcl_DStringAppendElement(out, word);
    DicomPrinted p = dicomPrint(e, &dict);
    Tcl_DStringAppendElement(out, p.vr.c_str());
    Tcl_DStringAppendElement(out, p.name.c_str());
    Tcl_DStringAppendElement(out, p.value.c_str());
    Tcl_DStringAppend(out, "\n", 1);
}

int listData(Tcl_Interp* interp, int argc, const char** argv) {
    if (argc < 3) return fail(interp, std::string("Usage: ") + argv[0] + " data imgid ?option?");
    if (argc > 5) return fail(interp, "Syntax error");
    unsigned group = 0, element = 0;
    if ((argc > 3 && !parseDicomHex(argv[3], &group)) || (argc > 4 && !parseDicomHex(argv[4], &element)))
        return fail(interp, "Syntax error");
    std::unique_ptr<DicomTable> owned;
    const DicomTable* table = dataSource(interp, argv[2], owned);
    if (!table) return TCL_ERROR;

    if (argc == 5) {
        const DicomElement* e = getDicomEntry(*table, group, element);
        Tcl_DString out;
        Tcl_DStringInit(&out);
        if (e) {
            const DicomDictionary& dict = dictionary();
            appendRecord(&out, *e, dict);
            for (const DicomElement& c : e->chain) appendRecord(&out, c, dict);
        }
        Tcl_DStringResult(interp, &out);
        return TCL_OK;
    }
    std::vector<std::string> words;
    for (uint32_t key : table->sortedKeys()) {
        if (argc == 3)
            words.push_back(zarn::strPrintf("%04x %04x", key >> 16, key & 0xFFFF));
        else if ((key >> 16) == group)
            words.push_back(zarn::strPrintf("%04x", key & 0xFFFF));
    }
    Tcl_SetObjResult(interp, stringList(words));
    return TCL_OK;
}

int dicomCommand(Tcl_Interp* interp, int argc, const char** argv) {
    if (argc < 2) return fail(interp, std::string("Usage: ") + argv[0] + " option");
    switch (matchSubcommand(kSubcommands, std::size(kSubcommands), argv[1])) {
    case SUB_ADD: return addEntries(interp, argc, argv);
    case SUB_COUNT: setResult(interp, std::to_string(dictionary().count())); return TCL_OK;
    case SUB_DATA: return listData(interp, argc, argv);
    case SUB_GET: return getEntry(interp, argc, argv);
    case SUB_INDEX: return indexEntries(interp, argc, argv);
    default: return silentError(interp);
    }
}

// dicom add|count|data|get|index ...: returns the dictionary entry count, an
// entry, a list of entries, or the element listing of a DICOM image or file.
// "add" changes the process-wide dictionary; nothing else changes state.
int dicomCmd(ClientData, Tcl_Interp* interp, int argc, const char* argv[]) {
    try {
        return dicomCommand(interp, argc, argv);
    } catch (const std::bad_alloc&) {
        return fail(interp, "Memory allocation error");
    } catch (const std::exception& e) {
        return fail(interp, e.what());
    } catch (...) {
        return fail(interp, "dicom: internal error");
    }
}

void dicomDeleteProc(ClientData) {
    if (--gCommands == 0) gDictionary.reset();
}

}  // namespace

int Dicom_Init(Tcl_Interp* interp) {
    if (!Tcl_CreateCommand(interp, "dicom", dicomCmd, nullptr, dicomDeleteProc)) return TCL_ERROR;
    ++gCommands;
    return TCL_OK;
}
