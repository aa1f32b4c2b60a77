#include "mp4_file_builder.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <stdexcept>

namespace pytovrik::file::testing {

BoxWriter& BoxWriter::u8(std::uint8_t value) {
    data_.push_back(value);
    return *this;
}

BoxWriter& BoxWriter::u16(std::uint16_t value) {
    return u8(static_cast<std::uint8_t>(value >> 8)).u8(static_cast<std::uint8_t>(value));
}

BoxWriter& BoxWriter::u32(std::uint32_t value) {
    return u16(static_cast<std::uint16_t>(value >> 16)).u16(static_cast<std::uint16_t>(value));
}

BoxWriter& BoxWriter::u64(std::uint64_t value) {
    return u32(static_cast<std::uint32_t>(value >> 32)).u32(static_cast<std::uint32_t>(value));
}

BoxWriter& BoxWriter::bytes(const ByteVector& value) {
    data_.insert(data_.end(), value.begin(), value.end());
    return *this;
}

BoxWriter& BoxWriter::zeros(std::size_t count) {
    data_.insert(data_.end(), count, 0);
    return *this;
}

BoxWriter& BoxWriter::box(std::string_view type, const std::function<void(BoxWriter&)>& body) {
    const std::size_t start = data_.size();
    u32(0);
    for (const char c : type) {
        u8(static_cast<std::uint8_t>(c));
    }
    body(*this);
    put_be32(data_, start, static_cast<std::uint32_t>(data_.size() - start));
    return *this;
}

ByteVector build_movie_file(const MovieRecipe& recipe) {
    const auto count = static_cast<std::uint32_t>(recipe.samples.size());
    std::vector<std::uint32_t> chunk_sizes = recipe.chunk_sizes;
    if (chunk_sizes.empty()) {
        chunk_sizes = {count};
    }
    BoxWriter file;
    file.box("ftyp", [](BoxWriter& w) { w.u32(0x69736F6D).u32(0x200).u32(0x69736F6D).u32(0x61766331); });
    std::vector<std::uint32_t> chunk_offsets;
    std::size_t media_start = file.data().size() + 8;
    file.box("mdat", [&](BoxWriter& w) {
        for (const ByteVector& sample : recipe.samples) {
            w.bytes(sample);
        }
    });
    std::uint32_t offset = static_cast<std::uint32_t>(media_start);
    std::size_t next = 0;
    for (const std::uint32_t chunk : chunk_sizes) {
        chunk_offsets.push_back(offset);
        for (std::uint32_t i = 0; i < chunk && next < recipe.samples.size(); ++i) {
            offset += static_cast<std::uint32_t>(recipe.samples[next++].size());
        }
    }
    const std::uint32_t duration = count * recipe.sample_duration;
    auto full = [](BoxWriter& w, std::uint32_t version_flags) { w.u32(version_flags); };
    file.box("moov", [&](BoxWriter& moov) {
        moov.box("mvhd", [&](BoxWriter& w) {
            full(w, 0);
            w.u32(0).u32(0).u32(1000).u32(duration * 1000 / recipe.time_scale).u32(0x00010000).u16(0x0100).zeros(10);
            w.u32(0x00010000).u32(0).u32(0).u32(0).u32(0x00010000).u32(0).u32(0).u32(0).u32(0x40000000);
            w.zeros(24).u32(2);
        });
        moov.box("trak", [&](BoxWriter& trak) {
            trak.box("tkhd", [&](BoxWriter& w) {
                full(w, 3);
                w.u32(0)
                    .u32(0)
                    .u32(1)
                    .u32(0)
                    .u32(duration * 1000 / recipe.time_scale)
                    .zeros(8)
                    .u16(0)
                    .u16(0)
                    .u16(0)
                    .u16(0);
                w.u32(0x00010000).u32(0).u32(0).u32(0).u32(0x00010000).u32(0).u32(0).u32(0).u32(0x40000000);
                w.u32(160 << 16).u32(120 << 16);
            });
            if (!recipe.edits.empty()) {
                trak.box("edts", [&](BoxWriter& edts) {
                    edts.box("elst", [&](BoxWriter& w) {
                        full(w, 0);
                        w.u32(static_cast<std::uint32_t>(recipe.edits.size()));
                        for (const auto& [edit_duration, media_time] : recipe.edits) {
                            w.u32(static_cast<std::uint32_t>(edit_duration))
                                .u32(static_cast<std::uint32_t>(media_time));
                            w.u32(recipe.edit_rate);
                        }
                    });
                });
            }
            trak.box("mdia", [&](BoxWriter& mdia) {
                mdia.box("mdhd", [&](BoxWriter& w) {
                    full(w, 0);
                    w.u32(0).u32(0).u32(recipe.time_scale).u32(duration).u16(0x55C4).u16(0);
                });
                mdia.box("hdlr", [&](BoxWriter& w) {
                    full(w, 0);
                    w.u32(0).u32(0x76696465).zeros(12).u8(0);
                });
                mdia.box("minf", [&](BoxWriter& minf) {
                    minf.box("vmhd", [&](BoxWriter& w) {
                        full(w, 1);
                        w.zeros(8);
                    });
                    minf.box("dinf", [&](BoxWriter& dinf) {
                        dinf.box("dref", [&](BoxWriter& w) {
                            full(w, 0);
                            w.u32(1).box("url ", [&](BoxWriter& url) { full(url, 1); });
                        });
                    });
                    minf.box("stbl", [&](BoxWriter& stbl) {
                        stbl.box("stsd", [&](BoxWriter& w) {
                            full(w, 0);
                            w.u32(static_cast<std::uint32_t>(recipe.configurations.size()));
                            for (const ByteVector& configuration : recipe.configurations) {
                                w.box("avc1", [&](BoxWriter& entry) {
                                    entry.zeros(6).u16(1).zeros(16).u16(160).u16(120);
                                    entry.u32(0x00480000).u32(0x00480000).u32(0).u16(1).zeros(32).u16(24).u16(0xFFFF);
                                    entry.box("avcC", [&](BoxWriter& avcc) { avcc.bytes(configuration); });
                                });
                            }
                        });
                        stbl.box("stts", [&](BoxWriter& w) {
                            full(w, 0);
                            w.u32(1).u32(count).u32(recipe.sample_duration);
                        });
                        if (!recipe.composition_offsets.empty()) {
                            stbl.box("ctts", [&](BoxWriter& w) {
                                full(w, 0);
                                w.u32(count);
                                for (const std::int32_t offset_value : recipe.composition_offsets) {
                                    w.u32(1).u32(static_cast<std::uint32_t>(offset_value));
                                }
                            });
                        }
                        if (recipe.sync_samples) {
                            stbl.box("stss", [&](BoxWriter& w) {
                                full(w, 0);
                                w.u32(static_cast<std::uint32_t>(recipe.sync_samples->size()));
                                for (const std::uint32_t sample : *recipe.sync_samples) {
                                    w.u32(sample);
                                }
                            });
                        }
                        stbl.box("stsc", [&](BoxWriter& w) {
                            full(w, 0);
                            w.u32(static_cast<std::uint32_t>(chunk_sizes.size()));
                            for (std::size_t i = 0; i < chunk_sizes.size(); ++i) {
                                const std::uint32_t entry = i < recipe.chunk_entries.size() ? recipe.chunk_entries[i] : 1;
                                w.u32(static_cast<std::uint32_t>(i + 1)).u32(chunk_sizes[i]).u32(entry);
                            }
                        });
                        if (recipe.compact_size_bits == 0) {
                            stbl.box("stsz", [&](BoxWriter& w) {
                                full(w, 0);
                                w.u32(0).u32(count);
                                for (const ByteVector& sample : recipe.samples) {
                                    w.u32(static_cast<std::uint32_t>(sample.size()));
                                }
                            });
                        } else {
                            stbl.box("stz2", [&](BoxWriter& w) {
                                full(w, 0);
                                w.u16(0).u8(0).u8(recipe.compact_size_bits).u32(count);
                                // Four-bit sizes go two to a byte, the first in the high half.
                                for (std::size_t i = 0; i < recipe.samples.size(); ++i) {
                                    const auto size = static_cast<std::uint32_t>(recipe.samples[i].size());
                                    if (recipe.compact_size_bits == 16) {
                                        w.u16(static_cast<std::uint16_t>(size));
                                    } else if (recipe.compact_size_bits == 8) {
                                        w.u8(static_cast<std::uint8_t>(size));
                                    } else if (i % 2 == 1) {
                                        continue;
                                    } else {
                                        const std::size_t second =
                                            i + 1 < recipe.samples.size() ? recipe.samples[i + 1].size() : 0;
                                        w.u8(static_cast<std::uint8_t>(size << 4 | (second & 0x0F)));
                                    }
                                }
                            });
                        }
                        stbl.box("stco", [&](BoxWriter& w) {
                            full(w, 0);
                            w.u32(static_cast<std::uint32_t>(chunk_offsets.size()));
                            for (const std::uint32_t chunk_offset : chunk_offsets) {
                                w.u32(chunk_offset);
                            }
                        });
                    });
                });
            });
        });
    });
    return file.data();
}

std::size_t find_box(const ByteVector& file, std::string_view type) {
    const auto found = std::search(file.begin(), file.end(), type.begin(), type.end());
    if (found == file.end() || found - file.begin() < 4) {
        throw std::runtime_error("no '" + std::string(type) + "' box");
    }
    return static_cast<std::size_t>(found - file.begin()) - 4;
}

void put_be32(ByteVector& file, std::size_t offset, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        file[offset + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(value >> (24 - 8 * i));
    }
}

std::uint32_t get_be32(const ByteVector& file, std::size_t offset) {
    return (std::uint32_t{file[offset]} << 24) | (std::uint32_t{file[offset + 1]} << 16) |
           (std::uint32_t{file[offset + 2]} << 8) | file[offset + 3];
}

std::string write_test_file(const std::string& name, const ByteVector& bytes) {
    const std::string path = ::testing::TempDir() + name;
    std::FILE* out = std::fopen(path.c_str(), "wb");
    if (out == nullptr) {
        throw std::runtime_error("cannot write " + path);
    }
    std::fwrite(bytes.data(), 1, bytes.size(), out);
    std::fclose(out);
    return path;
}

}  // namespace pytovrik::file::testing
