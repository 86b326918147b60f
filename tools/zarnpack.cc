// Build-time packer of the script libraries: joins the given Tcl files and
// writes them as one library container, the form the package loads with
// "calc decompload".
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "calc/container.h"

int main(int argc, char** argv) {
    if (argc < 2) {
        std::cerr << "usage: zarnpack OUT.lib FILE.tcl...\n";
        return 2;
    }
    std::string script;
    for (int i = 2; i < argc; ++i) {
        std::ifstream in(argv[i], std::ios::binary);
        if (!in) {
            std::cerr << "zarnpack: cannot read " << argv[i] << "\n";
            return 1;
        }
        std::ostringstream ss;
        ss << in.rdbuf();
        std::string part = ss.str();
        if (part.find('\0') != std::string::npos) {
            std::cerr << "zarnpack: " << argv[i] << " holds a zero byte\n";
            return 1;
        }
        script += part;
        script += "\n";
    }
    std::string error;
    double ratio = 0;
    if (!zarn::writeContainerFile(argv[1], script, &ratio, &error)) {
        std::cerr << "zarnpack: " << argv[1] << ": " << error << "\n";
        return 1;
    }
    return 0;
}
