// Script library containers from hostile bytes: the reader must refuse or
// decode them within the memory limit, and what it decodes must pack and
// unpack to the same text again.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "calc/container.h"
#include "ramimage/ramimage.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    setCacheByteLimit(int64_t(256) << 20);
    zarn::ContainerResult r = zarn::unpackContainer(data, size);
    if (!r.ok) return 0;
    if (r.script.size() >= static_cast<size_t>(zarn::kContainerScriptMax)) std::abort();
    std::string error;
    auto again = zarn::packContainer(r.script, &error);
    if (again.empty()) std::abort();
    zarn::ContainerResult back = zarn::unpackContainer(again.data(), again.size());
    if (!back.ok || back.script != r.script) std::abort();
    return 0;
}
