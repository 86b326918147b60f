#include "calc/correl.h"

#include <algorithm>
#include <cmath>

namespace zarn {

CorrelResult slidingCorrelation(const std::vector<double>& a, const std::vector<double>& b, int start, int n) {
    CorrelResult r;
    long na = static_cast<long>(a.size()) - start;
    long nb = static_cast<long>(b.size()) - start;
    if (start < 0) na = nb = 0;
    long win = std::min<long>({static_cast<long>(n), na, nb});
    if (win <= 0) {
        r.empty = true;
        return r;
    }
    bool aShort = na <= nb;
    const std::vector<double>& fixed = aShort ? a : b;
    const std::vector<double>& slid = aShort ? b : a;
    long shortCount = aShort ? na : nb;
    long longCount = aShort ? nb : na;

    double mx = 0;
    for (long i = 0; i < win; ++i) mx += fixed[static_cast<size_t>(i)];
    mx /= static_cast<double>(win);
    double sxx = 0;
    for (long i = 0; i < win; ++i) {
        double d = fixed[static_cast<size_t>(i)] - mx;
        sxx += d * d;
    }
    for (long k = 0; k + shortCount <= longCount; ++k) {
        const double* y = slid.data() + k;
        double my = 0;
        for (long i = 0; i < win; ++i) my += y[i];
        my /= static_cast<double>(win);
        double sxy = 0, syy = 0;
        for (long i = 0; i < win; ++i) {
            double dx = fixed[static_cast<size_t>(i)] - mx, dy = y[i] - my;
            sxy += dx * dy;
            syy += dy * dy;
        }
        if (!(sxx * syy > 0)) continue;
        double c = sxy / std::sqrt(sxx) / std::sqrt(syy);
        if (c * c > r.r2) {
            r.r2 = c * c;
            r.offset = static_cast<int>(k);
            r.found = true;
        }
    }
    return r;
}

}  // namespace zarn
