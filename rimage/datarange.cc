#include "rimage/datarange.h"

#include <cerrno>
#include <cstdlib>
#include <string>

namespace {

bool parseInt(const std::string& s, int* v) {
    if (s.empty()) return false;
    errno = 0;
    char* end = nullptr;
    long x = std::strtol(s.c_str(), &end, 10);
    if (errno || *end || x < 0 || x > 0x7fffffffL) return false;
    *v = static_cast<int>(x);
    return true;
}

bool parseField(const std::string& f, int size, int* a, int* b) {
    if (f.empty() || f == "*" || f == ":") {
        *a = 0;
        *b = size - 1;
        return size > 0;
    }
    size_t colon = f.find(':');
    if (colon == std::string::npos) {
        if (!parseInt(f, a)) return false;
        *b = *a;
    } else if (!parseInt(f.substr(0, colon), a) || !parseInt(f.substr(colon + 1), b)) {
        return false;
    }
    return *a < size && *b < size;
}

}  // namespace

bool parseDataRange(const char* text, int columns, int rows, int bands, DataRange* out) {
    if (!text || text[0] != '@') return false;
    std::string s(text + 1);
    std::string fields[3];
    int n = 0;
    size_t start = 0;
    for (;;) {
        size_t comma = s.find(',', start);
        if (n == 3) return false;
        fields[n++] = s.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    DataRange r;
    if (!parseField(fields[0], columns, &r.col0, &r.col1) || !parseField(fields[1], rows, &r.row0, &r.row1) ||
        !parseField(fields[2], bands, &r.band0, &r.band1))
        return false;
    *out = r;
    return true;
}
