// Random permutations for calc scramble, drawn from the C library's rand()
// so that "calc rand SEED" makes them repeatable.
#pragma once
#include <vector>

namespace zarn {

// 0 .. n-1 in random order (every order equally likely).
std::vector<int> randomPermutation(int n);

}  // namespace zarn
