#include "apps/options.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "init/output.h"

int parseConfig(OptionTable* table, int argc, const char* const* argv) {
    if (!table) return argc > 0 ? argc : 0;
    for (OptionTable* t = table; t->name; ++t) t->value = nullptr;
    int unknown = 0;
    for (int i = 0; i < argc; i += 2) {
        bool matched = false;
        if (i + 1 < argc) {
            for (OptionTable* t = table; t->name; ++t) {
                if (!t->value && std::strcmp(t->name, argv[i]) == 0) {
                    t->value = argv[i + 1];
                    matched = true;
                    break;
                }
            }
        }
        if (!matched) ++unknown;
    }
    return unknown;
}

const char* optionValue(const OptionTable* table, const char* name) {
    for (const OptionTable* t = table; t && t->name; ++t)
        if (std::strcmp(t->name, name) == 0) return t->value;
    return nullptr;
}

int stricmp(const char* a, const char* b) {
    if (!a || !b) return a ? 1 : (b ? -1 : 0);
    for (;; ++a, ++b) {
        int ca = std::toupper(static_cast<unsigned char>(*a)), cb = std::toupper(static_cast<unsigned char>(*b));
        if (ca != cb || !ca) return ca - cb;
    }
}

int getNextBand(const char* text, int* pos, int* value) {
    const char* p = text + *pos;
    if (!std::isdigit(static_cast<unsigned char>(*p))) return 0;
    long v = 0;
    while (std::isdigit(static_cast<unsigned char>(*p))) {
        v = v * 10 + (*p - '0');
        if (v > 1000000000L) return -1;
        ++p;
    }
    *value = static_cast<int>(v);
    *pos = static_cast<int>(p - text);
    return 1;
}

int parseBandDef(const char* text, int* bands, int capacity) {
    if (!text || !bands) return -1;
    int pos = 0, n = 0, prev = 0;
    bool any = false;
    auto store = [&](int v) {
        if (n >= capacity) return false;
        bands[n++] = v;
        return true;
    };
    for (;;) {
        int v;
        int r = getNextBand(text, &pos, &v);
        if (r < 0) return -1;
        if (r == 0) {
            // A field that does not start with a digit ends the list, after
            // the previous number once more.
            if (!any) return -1;
            if (!store(prev)) return -1;
            return n;
        }
        any = true;
        char c = text[pos];
        if (c == '-') {
            ++pos;
            int w;
            if (getNextBand(text, &pos, &w) != 1) return -1;
            char d = text[pos];
            if (d != ',' && d != '\0') return -1;
            int step = w >= v ? 1 : -1;
            for (int b = v;; b += step) {
                if (!store(b)) return -1;
                if (b == w) break;
            }
            prev = w;
            if (d == '\0') return n;
            ++pos;
            continue;
        }
        if (c != ',' && c != '\0') return -1;
        if (!store(v)) return -1;
        prev = v;
        if (c == '\0') return n;
        ++pos;
    }
}

int parseBandsDef(int* in, int* out, int capacity, const char* text) {
    if (!text) return 0;
    std::string s(text);
    size_t colon = s.find(':');
    std::string a = colon == std::string::npos ? s : s.substr(0, colon);
    int na = parseBandDef(a.c_str(), in, capacity);
    if (na < 1) return 0;
    if (colon == std::string::npos) {
        for (int i = 0; i < na; ++i) out[i] = in[i];
        return na;
    }
    std::string b = s.substr(colon + 1);
    int nb = parseBandDef(b.c_str(), out, capacity);
    if (nb < 1 || nb != na) return 0;
    return na;
}

int parseBands(int nin, int nout, int* in, int* out, const char* text) {
    if (!in || !out) return 0;
    if (!text) {
        int n = std::min({nin, nout, kMaxBands});
        for (int i = 0; i < n; ++i) in[i] = out[i] = i;
        return n > 0 ? n : 0;
    }
    int total = 0;
    std::string s(text);
    size_t start = 0;
    while (start <= s.size()) {
        size_t end = s.find_first_of(";, ", start);
        if (end == std::string::npos) end = s.size();
        std::string piece = s.substr(start, end - start);
        start = end + 1;
        if (piece.empty()) {
            if (end >= s.size()) break;
            continue;
        }
        int n = parseBandsDef(in + total, out + total, kMaxBands - total, piece.c_str());
        if (n < 1) {
            zarn::conPuts(zarn::kStderr, "Error in band params.\n");
            return 0;
        }
        total += n;
        if (end >= s.size()) break;
    }
    for (int i = 0; i < total; ++i) {
        if (in[i] < 1 || in[i] > nin || out[i] < 1 || out[i] > nout) return 0;
        --in[i];
        --out[i];
    }
    return total;
}

namespace {

template <typename T, typename Conv>
int passList(const char* text, T* values, int capacity, Conv conv) {
    if (!text) return 0;
    int n = 0;
    const char* p = text;
    for (;;) {
        const char* comma = std::strchr(p, ',');
        std::string item = comma ? std::string(p, comma) : std::string(p);
        if (n < capacity && values) values[n] = conv(item.c_str());
        ++n;
        if (!comma) break;
        p = comma + 1;
    }
    return n;
}

}  // namespace

int passFloats(const char* text, float* values, int capacity) {
    return passList(text, values, capacity, [](const char* s) { return static_cast<float>(std::atof(s)); });
}

int passLongs(const char* text, long* values, int capacity) {
    return passList(text, values, capacity, [](const char* s) { return std::atol(s); });
}
