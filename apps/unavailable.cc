// Applications not yet part of this version: each says so on standard error
// and fails, so the rimage command reports "Exec error from ...".
#include "apps/entries.h"
#include "init/output.h"

namespace {
int unavailable(const char* prog) {
    zarn::conPrintf(zarn::kStderr, "%s: this application is not available in this version.\n", prog);
    return 0;
}
}  // namespace

#define ZARN_UNAVAILABLE(name) \
    int name(const char* prog, int, const char* const*) { return unavailable(prog); }

ZARN_UNAVAILABLE(rimgCalcAp)
ZARN_UNAVAILABLE(classifyAp)
ZARN_UNAVAILABLE(cropRimgAp)
ZARN_UNAVAILABLE(dataRimgAp)
ZARN_UNAVAILABLE(gdistAp)
ZARN_UNAVAILABLE(egvAp)
ZARN_UNAVAILABLE(gFFTransAp)
ZARN_UNAVAILABLE(gconvAp)
ZARN_UNAVAILABLE(georefRimgAp)
ZARN_UNAVAILABLE(gisoAp)
ZARN_UNAVAILABLE(statRimgAp)
ZARN_UNAVAILABLE(gtopAp)
ZARN_UNAVAILABLE(gdemAp)
ZARN_UNAVAILABLE(pcalcAp)
ZARN_UNAVAILABLE(gptableApp)
ZARN_UNAVAILABLE(rfmRimgAp)
ZARN_UNAVAILABLE(gRotateAp)
ZARN_UNAVAILABLE(sectRimgAp)
ZARN_UNAVAILABLE(sysMetricAp)
ZARN_UNAVAILABLE(statInfoAp)
ZARN_UNAVAILABLE(copyRimgAp)
