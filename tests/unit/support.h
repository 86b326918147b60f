// Helpers shared by the unit tests.
#pragma once
#include <string>
#include <vector>

namespace testsupport {

// Directory of the generated oracle fixtures (ZARN_FIXTURES).
std::string fixtureDir();
// A fresh scratch directory for the running test.
std::string scratchDir();
std::vector<unsigned char> readFile(const std::string& path);
void writeFile(const std::string& path, const std::vector<unsigned char>& data);
// Runs a shell command and returns its standard output; empty on failure.
std::string run(const std::string& cmd, int* status = nullptr);
// Everything the package printed since the last call (stdout and stderr).
std::string takeOutput();

}  // namespace testsupport
