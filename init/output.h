// Text output of the Tcl-free core.  Every message the package prints goes
// through conPuts, which the Tcl layer points at the current console
// interpreter's stdout/stderr; without a sink the text is dropped.
#pragma once
#include <cstdarg>
#include <cstddef>
#include <string>
#include <string_view>

namespace zarn {

// Channel codes, the same values as Tcl's TCL_STDOUT and TCL_STDERR.
constexpr int kStdout = 4;
constexpr int kStderr = 8;

using OutputSink = void (*)(int channel, const char* text, size_t length);

// Installs the sink and returns the previous one.
OutputSink setOutputSink(OutputSink sink);

void conPuts(int channel, std::string_view text);
void conPrintf(int channel, const char* format, ...) __attribute__((format(printf, 2, 3)));
void conVPrintf(int channel, const char* format, va_list args);

// printf into a std::string of whatever length the text needs.
std::string strPrintf(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string strVPrintf(const char* format, va_list args);

// Progress and run-status hooks of long operations.  The Tcl layer installs
// the real ones (meter scripts, pause/abort); without them the meter is
// silent and the status is always "run".
struct HostHooks {
    int (*meterSet)(const char* message, double pct) = nullptr;
    int (*meterReset)() = nullptr;
    double (*meterInc)() = nullptr;
    int (*checkStatus)() = nullptr;
};
void setHostHooks(const HostHooks& hooks);

}  // namespace zarn

int meterSet(const char* message, double pct);
int meterReset();
double meterInc();
// 0 = run on; 3 = abort requested (after any pause was served).
int checkRimageStatus();
