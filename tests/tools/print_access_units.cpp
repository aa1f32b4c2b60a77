// Prints the size of each access unit the shared splitter cuts from an Annex B
// file, one per line, so the Python package's own splitter can be held to it.
#include <cstdio>
#include <fstream>
#include <iterator>

#include "input/access_unit_splitter.hpp"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: print_access_units FILE\n");
        return 2;
    }
    std::ifstream file(argv[1], std::ios::binary);
    if (!file) {
        std::perror(argv[1]);
        return 1;
    }
    const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    const auto units = pytovrik::split_access_units(bytes);
    if (!units) {
        return 1;
    }
    for (const auto& unit : *units) {
        std::printf("%zu\n", unit.size());
    }
    return 0;
}
