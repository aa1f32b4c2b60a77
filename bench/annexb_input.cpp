#include "annexb_input.hpp"

#include <fstream>
#include <iterator>
#include <stdexcept>

#include "input/access_unit_splitter.hpp"

namespace bench {

std::vector<Packet> read_access_units(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        throw std::runtime_error("cannot read " + path);
    }
    std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    auto split = pytovrik::split_access_units(bytes);
    if (!split) {
        throw std::runtime_error("cannot parse " + path);
    }
    std::vector<Packet> units = std::move(*split);
    if (units.empty()) {
        throw std::runtime_error(path + " holds no access unit");
    }
    return units;
}

}  // namespace bench
