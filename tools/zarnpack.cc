// Build-time packer of the script libraries: joins the given Tcl files and
// writes them as one library file.
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

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
        script += ss.str();
        script += "\n";
    }
    std::ofstream out(argv[1], std::ios::binary | std::ios::trunc);
    out << script;
    if (!out.flush()) {
        std::cerr << "zarnpack: cannot write " << argv[1] << "\n";
        return 1;
    }
    return 0;
}
