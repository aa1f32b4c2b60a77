// Throughput of the library against what FFmpeg alone costs, on the same
// packets in one run:
//   floor       a bare send/receive loop that releases every frame;
//   kept        the floor plus the library's work written plainly (NV12
//               repack, or swscale to RGBA and alpha drop), keeping every
//               output buffer until the end of the batch, as a one-call
//               response must;
//   library     one request through the C ABI, response freed inside the
//               timed region;
//   before      the same through another build of the library, loaded with
//               --baseline, to compare a change with what it replaces.
// Repetitions are interleaved (every row once per round, in a rotating order)
// so that a change of machine load hits all rows alike; each row reports its
// median round, and ratios compare medians.
//
// Usage: decode_bench [--inputs DIR] [--streams a,b] [--threads auto,1] [--reps N]
//                     [--baseline LIBRARY.so] [--no-thp] [--markdown FILE] [--no-peak-rss]
//        decode_bench --peak-rss FILE [--baseline LIBRARY.so]
//                     (child mode: two whole-batch RGB requests in turn)
#include <dlfcn.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "common/ffmpeg_owners.hpp"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libswscale/swscale.h>
}

#include "annexb_input.hpp"
#include "pytovrik_video.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* THREADS_VARIABLE = "TOVRIK_VIDEO_FFMPEG_THREADS";
constexpr int SMALL_SIDE = 224;
constexpr std::uint64_t SPARSE_STEP = 10;

void check(int code, const char* what) {
    if (code < 0) {
        char text[AV_ERROR_MAX_STRING_SIZE] = {};
        av_strerror(code, text, sizeof text);
        throw std::runtime_error(std::string(what) + ": " + text);
    }
}

using pytovrik::UniqueAVCodecContext;
using pytovrik::UniqueAVFrame;
using pytovrik::UniqueAVPacket;
using pytovrik::UniqueSwsContext;

// The two calls a request needs, from the library this program links or from
// a baseline build loaded beside it. RTLD_LOCAL keeps their symbols apart,
// and each keeps its own decoders and memory.
struct LibraryCalls {
    decltype(&pytovrik_video_decode_h264_v1) decode = &pytovrik_video_decode_h264_v1;
    decltype(&pytovrik_video_free_response_v1) free = &pytovrik_video_free_response_v1;
};

LibraryCalls load_baseline(const std::string& path) {
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        throw std::runtime_error("cannot load " + path + ": " + dlerror());
    }
    LibraryCalls calls;
    calls.decode = reinterpret_cast<decltype(calls.decode)>(dlsym(handle, "pytovrik_video_decode_h264_v1"));
    calls.free = reinterpret_cast<decltype(calls.free)>(dlsym(handle, "pytovrik_video_free_response_v1"));
    if (calls.decode == nullptr || calls.free == nullptr) {
        throw std::runtime_error(path + " lacks the library's functions");
    }
    return calls;
}

// Thread setting of a row: 0 is the variable unset (FFmpeg chooses).
std::string thread_label(int threads) { return threads == 0 ? "auto" : std::to_string(threads); }

struct Stream {
    std::string name;
    std::vector<bench::Packet> units;
    std::vector<RuntimePacket> runtime_packets;
    std::vector<UniqueAVPacket> packets;  // refcounted copies, so the floor pays no copy on send
    int width = 0;
    int height = 0;
    std::uint64_t frames = 0;
};

UniqueAVCodecContext open_decoder(int threads) {
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
    UniqueAVCodecContext context(avcodec_alloc_context3(codec));
    if (!context) {
        throw std::runtime_error("cannot allocate a codec context");
    }
    // The library's settings: frame threading, the variable's count.
    context->thread_type = FF_THREAD_FRAME;
    context->thread_count = threads;
    check(avcodec_open2(context.get(), codec, nullptr), "avcodec_open2");
    return context;
}

// The floor loop: every frame the decoder gives goes to `consume` with its
// position, and is released right after.
std::uint64_t decode_batch(AVCodecContext& decoder, const Stream& stream,
                           const std::function<void(const AVFrame&, std::uint64_t)>& consume) {
    UniqueAVFrame frame(av_frame_alloc());
    std::uint64_t position = 0;
    const auto drain = [&] {
        for (;;) {
            const int code = avcodec_receive_frame(&decoder, frame.get());
            if (code == AVERROR(EAGAIN) || code == AVERROR_EOF) {
                return;
            }
            check(code, "avcodec_receive_frame");
            if (consume) {
                consume(*frame, position);
            }
            ++position;
            av_frame_unref(frame.get());
        }
    };
    for (const UniqueAVPacket& packet : stream.packets) {
        int code = 0;
        while ((code = avcodec_send_packet(&decoder, packet.get())) == AVERROR(EAGAIN)) {
            drain();
        }
        check(code, "avcodec_send_packet");
        drain();
    }
    check(avcodec_send_packet(&decoder, nullptr), "flush");
    drain();
    avcodec_flush_buffers(&decoder);
    return position;
}

// Output buffers a batch keeps until its end, as a one-call response does.
class KeptBuffers {
public:
    KeptBuffers() = default;
    KeptBuffers(const KeptBuffers&) = delete;
    KeptBuffers& operator=(const KeptBuffers&) = delete;
    ~KeptBuffers() {
        for (void* buffer : buffers_) {
            std::free(buffer);
        }
    }
    std::uint8_t* allocate(std::size_t size) {
        void* buffer = std::malloc(size);
        if (buffer == nullptr) {
            throw std::bad_alloc();
        }
        buffers_.push_back(buffer);
        return static_cast<std::uint8_t*>(buffer);
    }

private:
    std::vector<void*> buffers_;
};

void repack_nv12_plainly(const AVFrame& frame, KeptBuffers& kept) {
    const auto width = static_cast<std::size_t>(frame.width);
    const auto height = static_cast<std::size_t>(frame.height);
    std::uint8_t* y = kept.allocate(width * height);
    for (std::size_t row = 0; row < height; ++row) {
        std::memcpy(y + row * width, frame.data[0] + row * static_cast<std::size_t>(frame.linesize[0]), width);
    }
    const std::size_t chroma_width = (width + 1) / 2;
    const std::size_t chroma_height = (height + 1) / 2;
    std::uint8_t* uv = kept.allocate(2 * chroma_width * chroma_height);
    for (std::size_t row = 0; row < chroma_height; ++row) {
        const std::uint8_t* u = frame.data[1] + row * static_cast<std::size_t>(frame.linesize[1]);
        const std::uint8_t* v = frame.data[2] + row * static_cast<std::size_t>(frame.linesize[2]);
        std::uint8_t* out = uv + row * 2 * chroma_width;
        for (std::size_t i = 0; i < chroma_width; ++i) {
            out[2 * i] = u[i];
            out[2 * i + 1] = v[i];
        }
    }
}

// swscale to RGBA into one scratch buffer, then RGB into a fresh kept buffer.
class PlainRgbConverter {
public:
    PlainRgbConverter(int width, int height) : width_(width), height_(height) {}

    void convert(const AVFrame& frame, KeptBuffers& kept) {
        const auto pixels = static_cast<std::size_t>(width_) * static_cast<std::size_t>(height_);
        if (!scaler_) {
            scaler_.reset(sws_getContext(frame.width, frame.height, static_cast<AVPixelFormat>(frame.format), width_,
                                         height_, AV_PIX_FMT_RGBA, SWS_FAST_BILINEAR, nullptr, nullptr, nullptr));
            if (!scaler_) {
                throw std::runtime_error("sws_getContext failed");
            }
            rgba_.reset(new std::uint8_t[pixels * 4]);
        }
        std::uint8_t* const planes[4] = {rgba_.get(), nullptr, nullptr, nullptr};
        const int strides[4] = {width_ * 4, 0, 0, 0};
        if (sws_scale(scaler_.get(), frame.data, frame.linesize, 0, frame.height, planes, strides) != height_) {
            throw std::runtime_error("sws_scale failed");
        }
        std::uint8_t* rgb = kept.allocate(pixels * 3);
        const std::uint8_t* rgba = rgba_.get();
        for (std::size_t i = 0; i < pixels; ++i) {
            rgb[3 * i] = rgba[4 * i];
            rgb[3 * i + 1] = rgba[4 * i + 1];
            rgb[3 * i + 2] = rgba[4 * i + 2];
        }
    }

private:
    int width_;
    int height_;
    UniqueSwsContext scaler_;
    std::unique_ptr<std::uint8_t[]> rgba_;
};

enum class Work { Floor, KeptYuv, KeptRgb, LibraryYuv, LibraryRgb, BaselineYuv, BaselineRgb };

struct Row {
    std::size_t stream = 0;
    int threads = 0;
    Work work = Work::Floor;
    int side = 0;  // RGB output width and height; 0: the source size
    std::uint64_t step = 1;  // every frame, or every 10th
    std::vector<double> seconds;

    [[nodiscard]] bool is_library() const { return work == Work::LibraryYuv || work == Work::LibraryRgb; }
    [[nodiscard]] bool is_baseline() const { return work == Work::BaselineYuv || work == Work::BaselineRgb; }
    [[nodiscard]] bool is_kept() const { return work == Work::KeptYuv || work == Work::KeptRgb; }
    [[nodiscard]] bool is_rgb() const {
        return work == Work::KeptRgb || work == Work::LibraryRgb || work == Work::BaselineRgb;
    }

    [[nodiscard]] std::string label() const {
        if (work == Work::Floor) {
            return "floor";
        }
        std::string text = is_library() ? "library " : is_baseline() ? "before " : "kept floor ";
        text += is_rgb() ? (side == 0 ? "RGB source" : "RGB " + std::to_string(side) + "x" + std::to_string(side))
                         : "YUV";
        text += step == 1 ? ", all" : ", every " + std::to_string(step) + "th";
        return text;
    }
    [[nodiscard]] double median() const {
        std::vector<double> sorted = seconds;
        std::sort(sorted.begin(), sorted.end());
        const std::size_t middle = sorted.size() / 2;
        return sorted.size() % 2 == 1 ? sorted[middle] : (sorted[middle - 1] + sorted[middle]) / 2;
    }
};

// The row of `work` with the same stream, threads, output size and selection.
const Row* matching_row(const std::vector<Row>& rows, const Row& row, Work work) {
    for (const Row& other : rows) {
        if (other.stream == row.stream && other.threads == row.threads && other.work == work &&
            other.side == row.side && other.step == row.step) {
            return &other;
        }
    }
    return nullptr;
}

const Row* floor_of(const std::vector<Row>& rows, const Row& row) {
    for (const Row& other : rows) {
        if (other.stream == row.stream && other.threads == row.threads && other.work == Work::Floor) {
            return &other;
        }
    }
    return nullptr;
}

std::vector<std::uint64_t> every_nth(std::uint64_t frames, std::uint64_t step) {
    std::vector<std::uint64_t> positions;
    for (std::uint64_t position = 0; position < frames; position += step) {
        positions.push_back(position);
    }
    return positions;
}

void run_library(const LibraryCalls& library, const Stream& stream, const Row& row, std::size_t packet_count) {
    const bool rgb = row.is_rgb();
    const int side_width = row.side == 0 ? stream.width : row.side;
    const int side_height = row.side == 0 ? stream.height : row.side;
    const std::vector<std::uint64_t> positions = row.step == 1 ? std::vector<std::uint64_t>{}
                                                               : every_nth(stream.frames, row.step);
    RuntimeDecodeRequest request{};
    request.output_width = static_cast<std::uint32_t>(side_width);
    request.output_height = static_cast<std::uint32_t>(side_height);
    request.output_format = rgb ? RuntimeFormatRgb : RuntimeFormatYuv420;
    request.packets = stream.runtime_packets.data();
    request.packet_count = packet_count;
    request.selected_positions = positions.data();
    request.selected_position_count = positions.size();
    RuntimeDecodeResponse response{nullptr, 0};
    if (library.decode(&request, &response) != 0) {
        throw std::runtime_error("library request failed on " + stream.name);
    }
    const std::uint64_t expected = packet_count < stream.packets.size() ? response.frame_count
                                   : row.step == 1                      ? stream.frames
                                                                        : positions.size();
    const std::uint64_t returned = response.frame_count;
    library.free(&response);
    if (returned != expected) {
        throw std::runtime_error("library returned " + std::to_string(returned) + " frames on " + stream.name +
                                 ", expected " + std::to_string(expected));
    }
}

double time_row(const Stream& stream, const Row& row, AVCodecContext& floor_decoder, const LibraryCalls& baseline) {
    const auto start = Clock::now();
    switch (row.work) {
        case Work::Floor:
            decode_batch(floor_decoder, stream, nullptr);
            break;
        case Work::KeptYuv: {
            KeptBuffers kept;
            decode_batch(floor_decoder, stream, [&](const AVFrame& frame, std::uint64_t position) {
                if (position % row.step == 0) {
                    repack_nv12_plainly(frame, kept);
                }
            });
            break;
        }
        case Work::KeptRgb: {
            KeptBuffers kept;
            PlainRgbConverter converter(row.side == 0 ? stream.width : row.side,
                                        row.side == 0 ? stream.height : row.side);
            decode_batch(floor_decoder, stream, [&](const AVFrame& frame, std::uint64_t position) {
                if (position % row.step == 0) {
                    converter.convert(frame, kept);
                }
            });
            break;
        }
        case Work::LibraryYuv:
        case Work::LibraryRgb:
            run_library(LibraryCalls{}, stream, row, stream.packets.size());
            break;
        case Work::BaselineYuv:
        case Work::BaselineRgb:
            run_library(baseline, stream, row, stream.packets.size());
            break;
    }
    return std::chrono::duration<double>(Clock::now() - start).count();
}

Stream load_stream(const std::string& directory, const std::string& name) {
    Stream stream;
    stream.name = name;
    stream.units = bench::read_access_units(directory + "/" + name + ".h264");
    for (bench::Packet& unit : stream.units) {
        stream.runtime_packets.push_back(RuntimePacket{unit.data(), unit.size()});
        UniqueAVPacket packet(av_packet_alloc());
        check(av_new_packet(packet.get(), static_cast<int>(unit.size())), "av_new_packet");
        std::memcpy(packet->data, unit.data(), unit.size());
        stream.packets.push_back(std::move(packet));
    }
    // One single-threaded pass learns the frame count and size.
    UniqueAVCodecContext decoder = open_decoder(1);
    stream.frames = decode_batch(*decoder, stream, [&](const AVFrame& frame, std::uint64_t) {
        stream.width = frame.width;
        stream.height = frame.height;
    });
    return stream;
}

void set_thread_variable(int threads) {
    if (threads == 0) {
        unsetenv(THREADS_VARIABLE);
    } else {
        setenv(THREADS_VARIABLE, std::to_string(threads).c_str(), 1);
    }
}

long status_kib(const char* field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    const std::string prefix = std::string(field) + ":";
    while (std::getline(status, line)) {
        if (line.rfind(prefix, 0) == 0) {
            return std::stol(line.substr(prefix.size()));
        }
    }
    return -1;
}

// Child mode: two whole-batch RGB requests at source size in turn, nothing
// else, so the process's high-water mark is theirs. What stays resident after
// the first is freed is what the library keeps for the next request.
int measure_peak_rss(const std::string& path, const LibraryCalls& library) {
    Stream stream;
    stream.units = bench::read_access_units(path);
    for (bench::Packet& unit : stream.units) {
        stream.runtime_packets.push_back(RuntimePacket{unit.data(), unit.size()});
    }
    // The size comes from a YUV request on the first packets (few frames).
    RuntimeDecodeRequest probe{};
    probe.output_format = RuntimeFormatYuv420;
    probe.packets = stream.runtime_packets.data();
    probe.packet_count = std::min<std::size_t>(stream.runtime_packets.size(), 4);
    RuntimeDecodeResponse response{nullptr, 0};
    if (library.decode(&probe, &response) != 0 || response.frame_count == 0) {
        return 2;
    }
    const std::uint32_t width = response.frames[0].width;
    const std::uint32_t height = response.frames[0].height;
    library.free(&response);
    std::cout << status_kib("VmRSS");

    RuntimeDecodeRequest request{};
    request.output_width = width;
    request.output_height = height;
    request.output_format = RuntimeFormatRgb;
    request.packets = stream.runtime_packets.data();
    request.packet_count = stream.runtime_packets.size();
    std::uint64_t output = 0;
    for (int turn = 0; turn < 2; ++turn) {
        if (library.decode(&request, &response) != 0) {
            return 2;
        }
        output = 0;
        for (std::uint64_t i = 0; i < response.frame_count; ++i) {
            output += response.frames[i].rgb.len;
        }
        std::cout << ' ' << status_kib("VmHWM");
        library.free(&response);
        std::cout << ' ' << status_kib("VmRSS");
    }
    std::cout << ' ' << output << '\n';
    return 0;
}

struct PeakRss {
    long before_kib = 0;        // resident before the first request
    long first_peak_kib = 0;    // the high-water mark after the first
    long first_idle_kib = 0;    // resident once the first is freed
    long second_peak_kib = 0;   // the high-water mark after the second
    long second_idle_kib = 0;
    std::uint64_t output_bytes = 0;
};

PeakRss peak_rss_in_child(const std::string& path, bool no_thp, const std::string& baseline) {
    int pipe_ends[2];
    if (pipe(pipe_ends) != 0) {
        throw std::runtime_error("pipe failed");
    }
    const pid_t child = fork();
    if (child == 0) {
        dup2(pipe_ends[1], STDOUT_FILENO);
        close(pipe_ends[0]);
        close(pipe_ends[1]);
        std::vector<const char*> arguments = {"decode_bench", "--peak-rss", path.c_str()};
        if (no_thp) {
            arguments.push_back("--no-thp");
        }
        if (!baseline.empty()) {
            arguments.push_back("--baseline");
            arguments.push_back(baseline.c_str());
        }
        arguments.push_back(nullptr);
        execv("/proc/self/exe", const_cast<char* const*>(arguments.data()));
        _exit(127);
    }
    close(pipe_ends[1]);
    std::string text;
    char chunk[256];
    ssize_t got = 0;
    while ((got = read(pipe_ends[0], chunk, sizeof chunk)) > 0) {
        text.append(chunk, static_cast<std::size_t>(got));
    }
    close(pipe_ends[0]);
    int status = 0;
    waitpid(child, &status, 0);
    PeakRss result;
    std::istringstream fields(text);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 ||
        !(fields >> result.before_kib >> result.first_peak_kib >> result.first_idle_kib >> result.second_peak_kib >>
          result.second_idle_kib >> result.output_bytes)) {
        throw std::runtime_error("peak RSS child failed on " + path);
    }
    return result;
}

std::string mib(long kib) { return std::to_string((kib + 512) / 1024) + " MiB"; }

std::string peak_rss_note(const std::string& library, const PeakRss& peak) {
    const long output_kib = static_cast<long>(peak.output_bytes / 1024);
    return library + ": peak " + mib(peak.first_peak_kib) + " (" + mib(peak.before_kib) + " before, output " +
           mib(output_kib) + ", " + mib(peak.first_peak_kib - peak.before_kib - output_kib) +
           " beyond both), " + mib(peak.first_idle_kib) + " once freed; a second request peaks at " +
           mib(peak.second_peak_kib) + ", " + mib(peak.second_idle_kib) + " once freed";
}

std::string fixed(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

struct Options {
    std::string inputs = "build-bench/bench-inputs";
    std::vector<std::string> streams = {"1080p", "720p", "heavy_1080p", "heavy_720p", "conformance_cif"};
    std::vector<int> threads = {0, 1};
    std::string baseline;
    int reps = 5;
    bool no_thp = false;
    bool peak_rss = true;
    std::string markdown;
};

std::vector<std::string> split_commas(const std::string& text) {
    std::vector<std::string> parts;
    std::istringstream stream(text);
    std::string part;
    while (std::getline(stream, part, ',')) {
        parts.push_back(part);
    }
    return parts;
}

int run(const Options& options) {
    const bool with_baseline = !options.baseline.empty();
    const LibraryCalls baseline = with_baseline ? load_baseline(options.baseline) : LibraryCalls{};
    std::vector<Stream> streams;
    for (const std::string& name : options.streams) {
        streams.push_back(load_stream(options.inputs, name));
        const Stream& stream = streams.back();
        std::cerr << stream.name << ": " << stream.width << "x" << stream.height << ", " << stream.packets.size()
                  << " packets, " << stream.frames << " frames\n";
    }
    std::vector<Row> rows;
    for (std::size_t s = 0; s < streams.size(); ++s) {
        for (const int threads : options.threads) {
            rows.push_back(Row{s, threads, Work::Floor, 0, 1, {}});
            std::vector<std::pair<Work, Work>> kinds = {{Work::KeptYuv, Work::KeptRgb},
                                                        {Work::LibraryYuv, Work::LibraryRgb}};
            if (with_baseline) {
                kinds.emplace_back(Work::BaselineYuv, Work::BaselineRgb);
            }
            for (const auto& [yuv, rgb] : kinds) {
                for (const std::uint64_t step : {std::uint64_t{1}, SPARSE_STEP}) {
                    rows.push_back(Row{s, threads, yuv, 0, step, {}});
                    for (const int side : {0, SMALL_SIDE}) {
                        rows.push_back(Row{s, threads, rgb, side, step, {}});
                    }
                }
            }
        }
    }
    std::vector<UniqueAVCodecContext> floor_decoders;  // one per stream and thread setting, as rows hold them
    for (std::size_t s = 0; s < streams.size(); ++s) {
        for (const int threads : options.threads) {
            floor_decoders.push_back(open_decoder(threads));
        }
    }

    for (int rep = 0; rep < options.reps; ++rep) {
        for (std::size_t t = 0; t < options.threads.size(); ++t) {
            const int threads = options.threads[t];
            // The library reads the variable when a thread creates its
            // decoder, so each setting runs on a thread of its own.
            set_thread_variable(threads);
            std::thread worker([&] {
                for (std::size_t s = 0; s < streams.size(); ++s) {
                    // Warm the thread's decoders on this stream's size.
                    const std::size_t warm_packets = std::min<std::size_t>(streams[s].packets.size(), 8);
                    run_library(LibraryCalls{}, streams[s], Row{s, threads, Work::LibraryYuv, 0, 1, {}}, warm_packets);
                    if (with_baseline) {
                        run_library(baseline, streams[s], Row{s, threads, Work::BaselineYuv, 0, 1, {}}, warm_packets);
                    }
                    std::vector<Row*> mine;
                    for (Row& row : rows) {
                        if (row.stream == s && row.threads == threads) {
                            mine.push_back(&row);
                        }
                    }
                    std::rotate(mine.begin(), mine.begin() + static_cast<std::ptrdiff_t>(
                                                                 static_cast<std::size_t>(rep) % mine.size()),
                                mine.end());
                    AVCodecContext& decoder = *floor_decoders[s * options.threads.size() + t];
                    for (Row* row : mine) {
                        row->seconds.push_back(time_row(streams[s], *row, decoder, baseline));
                    }
                }
            });
            worker.join();
        }
        std::cerr << "round " << rep + 1 << "/" << options.reps << " done\n";
    }
    unsetenv(THREADS_VARIABLE);

    std::ostringstream table;
    table << "| stream | threads | row | fps | x kept floor | x floor |" << (with_baseline ? " x before |" : "")
          << "\n";
    table << "|---|---|---|---:|---:|---:|" << (with_baseline ? "---:|" : "") << "\n";
    const auto ratio = [](const Row* baseline_row, const Row& row) {
        return baseline_row == nullptr ? std::string() : fixed(baseline_row->median() / row.median(), 2);
    };
    for (const Row& row : rows) {
        const Stream& stream = streams[row.stream];
        const double fps = static_cast<double>(stream.frames) / row.median();
        const bool measured = row.is_library() || row.is_baseline();
        const Work kept = row.is_rgb() ? Work::KeptRgb : Work::KeptYuv;
        const Work before = row.is_rgb() ? Work::BaselineRgb : Work::BaselineYuv;
        table << "| " << stream.name << " | " << thread_label(row.threads) << " | " << row.label() << " | "
              << fixed(fps, 1) << " | " << (measured ? ratio(matching_row(rows, row, kept), row) : "") << " | "
              << (row.work != Work::Floor ? ratio(floor_of(rows, row), row) : "") << " |";
        if (with_baseline) {
            table << ' ' << (row.is_library() ? ratio(matching_row(rows, row, before), row) : "") << " |";
        }
        table << '\n';
    }

    std::ostringstream notes;
    for (const Row& row : rows) {
        if (row.work == Work::LibraryRgb && row.side == 0 && row.step == SPARSE_STEP) {
            const Row* all = matching_row(rows, Row{row.stream, row.threads, row.work, 0, 1, {}}, Work::LibraryRgb);
            notes << "- " << streams[row.stream].name << ", threads " << thread_label(row.threads)
                  << ": library RGB source, every 10th frame is " << fixed(all->median() / row.median(), 2)
                  << "x faster than all frames\n";
        }
    }
    if (options.peak_rss) {
        for (const Stream& stream : streams) {
            const std::string path = options.inputs + "/" + stream.name + ".h264";
            notes << "- " << stream.name << ", whole-batch RGB requests at source size in a process of their own, "
                  << "resident memory: " << peak_rss_note("library", peak_rss_in_child(path, options.no_thp, ""));
            if (with_baseline) {
                notes << "; " << peak_rss_note("before", peak_rss_in_child(path, options.no_thp, options.baseline));
            }
            notes << '\n';
        }
    }
    std::cout << table.str() << '\n' << notes.str();
    if (!options.markdown.empty()) {
        std::ofstream file(options.markdown);
        file << "Median of " << options.reps << " interleaved rounds"
             << (options.no_thp ? ", transparent huge pages disabled for the process" : "") << ".\n\n"
             << table.str() << '\n'
             << notes.str();
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        Options options;
        std::string peak_rss_path;
        for (int i = 1; i < argc; ++i) {
            const std::string argument = argv[i];
            const auto value = [&]() -> std::string {
                if (i + 1 >= argc) {
                    throw std::runtime_error(argument + " needs a value");
                }
                return argv[++i];
            };
            if (argument == "--inputs") {
                options.inputs = value();
            } else if (argument == "--streams") {
                options.streams = split_commas(value());
            } else if (argument == "--threads") {
                options.threads.clear();
                for (const std::string& threads : split_commas(value())) {
                    options.threads.push_back(threads == "auto" ? 0 : std::stoi(threads));
                }
            } else if (argument == "--baseline") {
                options.baseline = value();
            } else if (argument == "--reps") {
                options.reps = std::max(1, std::stoi(value()));
            } else if (argument == "--no-thp") {
                options.no_thp = true;
            } else if (argument == "--no-peak-rss") {
                options.peak_rss = false;
            } else if (argument == "--markdown") {
                options.markdown = value();
            } else if (argument == "--peak-rss") {
                peak_rss_path = value();
            } else {
                throw std::runtime_error("unknown argument " + argument);
            }
        }
        // Per process and inherited by children: the kernel then backs no
        // mapping of this process with huge pages, whatever madvise asks.
        if (options.no_thp && prctl(PR_SET_THP_DISABLE, 1, 0, 0, 0) != 0) {
            throw std::runtime_error("PR_SET_THP_DISABLE failed");
        }
        if (!peak_rss_path.empty()) {
            return measure_peak_rss(peak_rss_path,
                                    options.baseline.empty() ? LibraryCalls{} : load_baseline(options.baseline));
        }
        return run(options);
    } catch (const std::exception& error) {
        std::cerr << "decode_bench: " << error.what() << '\n';
        return 1;
    }
}
