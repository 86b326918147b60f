#include "calc/shuffle.h"

#include <cstdlib>
#include <utility>

namespace zarn {

std::vector<int> randomPermutation(int n) {
    std::vector<int> p(n > 0 ? static_cast<size_t>(n) : 0);
    for (int i = 0; i < n; ++i) p[static_cast<size_t>(i)] = i;
    // Fisher-Yates: position i takes a uniformly drawn element of the rest.
    for (int i = 0; i + 1 < n; ++i) {
        double u = static_cast<double>(std::rand()) / (static_cast<double>(RAND_MAX) + 1.0);
        int j = i + static_cast<int>(u * (n - i));
        if (j >= n) j = n - 1;
        std::swap(p[static_cast<size_t>(i)], p[static_cast<size_t>(j)]);
    }
    return p;
}

}  // namespace zarn
