#include "init/output.h"

#include <cstdio>
#include <vector>

namespace zarn {

namespace {
OutputSink gSink = nullptr;
HostHooks gHooks;
}

void setHostHooks(const HostHooks& hooks) { gHooks = hooks; }

OutputSink setOutputSink(OutputSink sink) {
    OutputSink old = gSink;
    gSink = sink;
    return old;
}

void conPuts(int channel, std::string_view text) {
    if (gSink && !text.empty()) gSink(channel, text.data(), text.size());
}

std::string strVPrintf(const char* format, va_list args) {
    char small[512];
    va_list again;
    va_copy(again, args);
    int n = std::vsnprintf(small, sizeof small, format, args);
    if (n < 0) {
        va_end(again);
        return {};
    }
    if (static_cast<size_t>(n) < sizeof small) {
        va_end(again);
        return std::string(small, static_cast<size_t>(n));
    }
    std::string out(static_cast<size_t>(n) + 1, '\0');
    std::vsnprintf(out.data(), out.size(), format, again);
    va_end(again);
    out.resize(static_cast<size_t>(n));
    return out;
}

std::string strPrintf(const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    std::string s = strVPrintf(format, ap);
    va_end(ap);
    return s;
}

void conVPrintf(int channel, const char* format, va_list args) {
    conPuts(channel, strVPrintf(format, args));
}

void conPrintf(int channel, const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    conVPrintf(channel, format, ap);
    va_end(ap);
}

}  // namespace zarn

int meterSet(const char* message, double pct) {
    return zarn::gHooks.meterSet ? zarn::gHooks.meterSet(message ? message : "", pct) : 0;
}
int meterReset() { return zarn::gHooks.meterReset ? zarn::gHooks.meterReset() : 0; }
double meterInc() { return zarn::gHooks.meterInc ? zarn::gHooks.meterInc() : 0.05; }
int checkRimageStatus() { return zarn::gHooks.checkStatus ? zarn::gHooks.checkStatus() : 0; }
