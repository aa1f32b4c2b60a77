// What the per-thread decoder pool saves: 60 one-group requests on one
// thread, each group of pictures a request of its own as a data loader makes
// them, against the same requests each on a fresh decoder (a new thread,
// whose pool slot starts empty), both for one stream throughout and for a
// stream that changes at every request. Rounds are interleaved; the median
// round of each row is reported.
//
// Every request carries the stream's header units (SPS, PPS and the
// encoder's user-data SEI) in front of its first packet, as the file layer
// sends them, so that all groups of a stream share one stream key.
//
// Usage: decoder_reuse_bench STREAM OTHER_STREAM [--requests N] [--rounds N] [--markdown FILE]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <iostream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "annexb_input.hpp"
#include "common/h264_syntax.hpp"
#include "pytovrik_video.h"

namespace {

using Clock = std::chrono::steady_clock;
using bench::Packet;
using Group = std::vector<Packet>;

// The groups of a stream, each from an IDR access unit, with the units that
// precede the stream's first slice in front of every group's first packet.
std::vector<Group> groups_with_headers(const std::string& path) {
    const std::vector<Packet> units = bench::read_access_units(path);
    Packet header;
    std::vector<Group> groups;
    for (const Packet& unit : units) {
        bool idr = false;
        pytovrik::h264::for_each_nal_unit(unit, [&](pytovrik::h264::Bytes nal) {
            idr = idr || pytovrik::h264::nal_unit_type(nal) == pytovrik::h264::NAL_IDR_SLICE;
            return true;
        });
        if (groups.empty()) {
            pytovrik::h264::for_each_nal_unit(unit, [&](pytovrik::h264::Bytes nal) {
                const int type = pytovrik::h264::nal_unit_type(nal);
                if (type == pytovrik::h264::NAL_SLICE || type == pytovrik::h264::NAL_IDR_SLICE) {
                    return false;
                }
                header.insert(header.end(), {0, 0, 0, 1});
                header.insert(header.end(), nal.begin(), nal.end());
                return true;
            });
        }
        if (idr) {
            groups.emplace_back();
        }
        if (!groups.empty()) {
            groups.back().push_back(unit);
        }
    }
    for (std::size_t i = 1; i < groups.size(); ++i) {
        groups[i][0].insert(groups[i][0].begin(), header.begin(), header.end());
    }
    if (groups.empty()) {
        throw std::runtime_error(path + " holds no IDR picture");
    }
    return groups;
}

// One YUV request; the response is freed at once.
void decode(const Group& group) {
    std::vector<RuntimePacket> packets;
    for (const Packet& packet : group) {
        packets.push_back(RuntimePacket{packet.data(), packet.size()});
    }
    RuntimeDecodeRequest request{};
    request.output_format = RuntimeFormatYuv420;
    request.packets = packets.data();
    request.packet_count = packets.size();
    RuntimeDecodeResponse response{};
    if (pytovrik_video_decode_h264_v1(&request, &response) != 0) {
        throw std::runtime_error("a benchmark request failed");
    }
    pytovrik_video_free_response_v1(&response);
}

double seconds_of(const std::function<void()>& work) {
    const auto start = Clock::now();
    work();
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::cerr << "usage: decoder_reuse_bench STREAM OTHER_STREAM [--requests N] [--rounds N] [--markdown FILE]\n";
        return 2;
    }
    std::size_t requests = 60;
    int rounds = 5;
    std::string markdown;
    for (int i = 3; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--requests") {
            requests = std::stoul(argv[i + 1]);
        } else if (option == "--rounds") {
            rounds = std::stoi(argv[i + 1]);
        } else if (option == "--markdown") {
            markdown = argv[i + 1];
        }
    }
    const std::vector<Group> one = groups_with_headers(argv[1]);
    const std::vector<Group> other = groups_with_headers(argv[2]);
    // Request i: group i of the stream, cycling; for the changing sequence
    // every other request comes from the other stream.
    std::vector<const Group*> same_stream;
    std::vector<const Group*> changing_stream;
    for (std::size_t i = 0; i < requests; ++i) {
        same_stream.push_back(&one[i % one.size()]);
        changing_stream.push_back(i % 2 == 0 ? &one[(i / 2) % one.size()] : &other[(i / 2) % other.size()]);
    }
    auto pooled = [](const std::vector<const Group*>& sequence) {
        std::thread([&] {
            for (const Group* group : sequence) {
                decode(*group);
            }
        }).join();
    };
    auto fresh = [](const std::vector<const Group*>& sequence) {
        for (const Group* group : sequence) {
            std::thread([&] { decode(*group); }).join();
        }
    };
    struct Row {
        const char* name;
        std::function<void()> run;
        std::vector<double> seconds;
    };
    std::vector<Row> rows = {
        {"one stream, pooled decoder", [&] { pooled(same_stream); }, {}},
        {"one stream, fresh decoder each request", [&] { fresh(same_stream); }, {}},
        {"stream changes every request, pooled decoder", [&] { pooled(changing_stream); }, {}},
        {"stream changes every request, fresh decoder each request", [&] { fresh(changing_stream); }, {}},
    };
    for (Row& row : rows) {
        row.run();  // warm-up: page cache, FFmpeg start-up
    }
    for (int round = 0; round < rounds; ++round) {
        for (std::size_t k = 0; k < rows.size(); ++k) {
            Row& row = rows[(k + static_cast<std::size_t>(round)) % rows.size()];
            row.seconds.push_back(seconds_of(row.run));
        }
    }
    std::string table = "| requests of one group | ms per request | pooled / fresh |\n|---|---:|---:|\n";
    for (std::size_t k = 0; k < rows.size(); ++k) {
        const double ms = median(rows[k].seconds) * 1000.0 / static_cast<double>(requests);
        char line[200];
        if (k % 2 == 0) {
            const double ratio = median(rows[k].seconds) / median(rows[k + 1].seconds);
            std::snprintf(line, sizeof line, "| %s | %.2f | %.2f |\n", rows[k].name, ms, ratio);
        } else {
            std::snprintf(line, sizeof line, "| %s | %.2f | |\n", rows[k].name, ms);
        }
        table += line;
    }
    table += '\n';  // not "\n" + a temporary: g++ 12 at -O3 warns falsely (-Wrestrict)
    table += std::to_string(requests) + " requests, " + std::to_string(one.size()) + " and " +
             std::to_string(other.size()) + " groups, median of " + std::to_string(rounds) + " interleaved rounds\n";
    std::cout << table;
    if (!markdown.empty()) {
        std::ofstream(markdown) << table;
    }
    return 0;
}
