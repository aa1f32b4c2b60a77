// The vector alpha drops must give the plain loop's bytes for every length,
// whatever the alignment, and write nothing past the RGB they owe.
#include <gtest/gtest.h>

#include <cstdint>
#include <iostream>
#include <vector>

#include "export/alpha_drop.hpp"

namespace pytovrik {
namespace {

using DropAlpha = void (*)(const std::uint8_t*, std::uint8_t*, std::size_t) noexcept;

constexpr std::uint8_t GUARD = 0xA5;

// Runs `drop` on `pixels` pixels read from `in_offset` and written at
// `out_offset` bytes into their buffers, returning the whole output buffer
// with its guard bytes on both sides.
std::vector<std::uint8_t> drop_with(DropAlpha drop, std::size_t pixels, std::size_t in_offset,
                                    std::size_t out_offset) {
    std::vector<std::uint8_t> rgba(in_offset + pixels * 4);
    for (std::size_t i = 0; i < rgba.size(); ++i) {
        rgba[i] = static_cast<std::uint8_t>(i * 151 + 7);
    }
    std::vector<std::uint8_t> rgb(out_offset + pixels * 3 + 64, GUARD);
    drop(rgba.data() + in_offset, rgb.data() + out_offset, pixels);
    return rgb;
}

struct Variant {
    const char* name;
    DropAlpha drop;
    bool supported;
};

std::vector<Variant> vector_variants() {
    return {{"ssse3", drop_alpha_ssse3, __builtin_cpu_supports("ssse3") != 0},
            {"avx2", drop_alpha_avx2, __builtin_cpu_supports("avx2") != 0},
            {"dispatch", drop_alpha, true}};
}

TEST(RgbAlphaDrop, VectorVersionsMatchThePlainLoopOnAnyLengthAndAlignment) {
    std::vector<std::size_t> lengths;
    for (std::size_t pixels = 0; pixels <= 70; ++pixels) {
        lengths.push_back(pixels);
    }
    for (const std::size_t pixels : {std::size_t{1000}, std::size_t{4099}, std::size_t{1920} * 1080 + 5}) {
        lengths.push_back(pixels);
    }
    for (const Variant& variant : vector_variants()) {
        if (!variant.supported) {
            std::cout << "skipping " << variant.name << ": not supported by this CPU\n";
            continue;
        }
        for (const std::size_t pixels : lengths) {
            for (const std::size_t offset : {std::size_t{0}, std::size_t{1}, std::size_t{3}}) {
                const auto expected = drop_with(drop_alpha_plain, pixels, offset, 2 * offset);
                ASSERT_EQ(drop_with(variant.drop, pixels, offset, 2 * offset), expected)
                    << variant.name << ", " << pixels << " pixels, offset " << offset;
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
