// The vector alpha drops must give the plain loop's bytes for every length,
// whatever the alignment, and write nothing past the RGB they owe.
#include <gtest/gtest.h>

#include <cstdint>
#include <iostream>
#include <vector>

#include "export/alpha_drop.hpp"

namespace pytovrik {
namespace {

constexpr std::uint8_t GUARD = 0xA5;

// Runs `drop` on `pixels` pixels read from `in_offset` and written at
// `out_offset` bytes into their buffers, returning the whole output buffer
// with its guard bytes on both sides.
std::vector<std::uint8_t> drop_with(DropAlphaFunction* drop, std::size_t pixels, std::size_t in_offset,
                                    std::size_t out_offset) {
    std::vector<std::uint8_t> rgba(in_offset + pixels * 4);
    for (std::size_t i = 0; i < rgba.size(); ++i) {
        rgba[i] = static_cast<std::uint8_t>(i * 151 + 7);
    }
    std::vector<std::uint8_t> rgb(out_offset + pixels * 3 + 64, GUARD);
    drop(rgba.data() + in_offset, rgb.data() + out_offset, pixels);
    return rgb;
}

TEST(RgbAlphaDrop, VectorVersionsMatchThePlainLoopOnAnyLengthAndAlignment) {
    std::vector<std::size_t> lengths;
    for (std::size_t pixels = 0; pixels <= 70; ++pixels) {
        lengths.push_back(pixels);
    }
    for (const std::size_t pixels : {std::size_t{1000}, std::size_t{4099}, std::size_t{1920} * 1080 + 5}) {
        lengths.push_back(pixels);
    }
    // Which versions exist depends on the architecture and which run on
    // the CPU, so each one this machine cannot run is named as skipped.
    std::vector<CpuPath<DropAlphaFunction>> paths(drop_alpha_paths().begin(), drop_alpha_paths().end());
    paths.push_back({"dispatch", drop_alpha, true});
    for (const auto& path : paths) {
        if (!path.runs_here) {
            std::cout << "skipping " << path.name << ": not supported by this CPU\n";
            continue;
        }
        for (const std::size_t pixels : lengths) {
            for (const std::size_t offset : {std::size_t{0}, std::size_t{1}, std::size_t{3}}) {
                const auto expected = drop_with(drop_alpha_plain, pixels, offset, 2 * offset);
                ASSERT_EQ(drop_with(path.function, pixels, offset, 2 * offset), expected)
                    << path.name << ", " << pixels << " pixels, offset " << offset;
            }
        }
    }
}

TEST(RgbAlphaDrop, PlainLoopKeepsRedGreenBlueInOrder) {
    const std::vector<std::uint8_t> rgba{1, 2, 3, 4, 5, 6, 7, 8};
    std::vector<std::uint8_t> rgb(6);
    drop_alpha_plain(rgba.data(), rgb.data(), 2);
    EXPECT_EQ(rgb, (std::vector<std::uint8_t>{1, 2, 3, 5, 6, 7}));
}

}  // namespace
}  // namespace pytovrik
