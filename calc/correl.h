// Sliding correlation of two series: the shorter window is held fixed and
// slid along the longer series; the offset with the largest r squared wins.
#pragma once
#include <vector>

namespace zarn {

struct CorrelResult {
    bool empty = false;  // no overlap at all
    bool found = false;  // some offset had a positive r squared
    double r2 = 0;
    int offset = 0;
};

// start drops that many leading elements from the counts (the windows still
// begin at the front, as the tool always did); n caps the window length.
CorrelResult slidingCorrelation(const std::vector<double>& a, const std::vector<double>& b, int start, int n);

}  // namespace zarn
