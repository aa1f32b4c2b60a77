// FFmpeg error texts and the thread-count variable: the exact texts that end
// up in failure messages, and every edge of the number syntax.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "support/internal_helpers.hpp"
#include "decode/decoder_pool.hpp"
#include "decode/ffmpeg_startup.hpp"
#include "decode/thread_count.hpp"

extern "C" {
#include <libavutil/error.h>
}

namespace pytovrik::testing {
namespace {

constexpr const char* THREADS = "TOVRIK_VIDEO_FFMPEG_THREADS";

TEST(FfmpegErrorText, FfmpegCodesUseTheirOwnTexts) {
    ensure_ffmpeg_initialized();
    const struct {
        int code;
        const char* text;
    } cases[] = {
        {AVERROR_EOF, "End of file"},
        {AVERROR_INVALIDDATA, "Invalid data found when processing input"},
        {AVERROR_DECODER_NOT_FOUND, "Decoder not found"},
        {AVERROR_BUG, "Internal bug, should not have happened"},
        {AVERROR_BUG2, "Internal bug, should not have happened"},
        {AVERROR_PATCHWELCOME, "Not yet implemented in FFmpeg, patches welcome"},
        {AVERROR_BUFFER_TOO_SMALL, "Buffer too small"},
        {AVERROR_EXPERIMENTAL, "Experimental feature"},
        {AVERROR_HTTP_NOT_FOUND, "Server returned 404 Not Found"},
        {AVERROR_HTTP_SERVER_ERROR, "Server returned 5XX Server Error reply"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ffmpeg_error_text(c.code), c.text) << c.code;
    }
}

TEST(FfmpegErrorText, EverythingElseIsAPosixErrorNumber) {
    ensure_ffmpeg_initialized();
    for (const int number : {EAGAIN, ENOMEM, EINVAL, EPERM, 4321}) {
        const std::string text = std::strerror(number);  // the next call may reuse its buffer
        EXPECT_EQ(ffmpeg_error_text(AVERROR(number)), text) << number;
    }
    EXPECT_EQ(ffmpeg_error_text(AVERROR(EAGAIN)), "Resource temporarily unavailable");
    EXPECT_EQ(ffmpeg_error_text(-4321), "Unknown error 4321");
    EXPECT_FALSE(ffmpeg_error_text(INT_MIN).empty());
}

TEST(ThreadCount, OnlyPlainUnsignedDecimalNumbersParse) {
    const struct {
        const char* text;
        std::optional<std::uint64_t> value;
    } cases[] = {
        {"4", 4}, {"+4", 4}, {"0004", 4}, {"0", 0}, {"+0", 0},
        {"18446744073709551615", UINT64_MAX}, {"4294967297", 4294967297ULL},
        {" 4", {}}, {"4 ", {}}, {"\t4", {}}, {"4\n", {}}, {"-1", {}}, {"-0", {}}, {"", {}}, {"+", {}},
        {"++4", {}}, {"four", {}}, {"1e3", {}}, {"0x10", {}}, {"4.0", {}}, {"٤", {}},
        {"18446744073709551616", {}}, {"99999999999999999999", {}}, {"184467440737095516150", {}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(parse_thread_count(c.text), c.value) << '"' << c.text << '"';
    }
    EXPECT_EQ(parse_thread_count(std::string_view("4\0" "5", 3)), std::nullopt);
}

TEST(ThreadCount, TheVariableGivesZeroWhenUnsetOrInvalid) {
    const struct {
        const char* value;
        std::uint64_t count;
    } cases[] = {
        {nullptr, 0}, {"4", 4}, {"+4", 4}, {"0004", 4}, {" 4", 0}, {"4 ", 0}, {"-1", 0}, {"", 0}, {"+", 0},
        {"four", 0}, {"1e3", 0}, {"18446744073709551616", 0}, {"4\xff", 0}, {"\xc3\x28", 0},
        {"4294967297", 4294967297ULL},
    };
    for (const auto& c : cases) {
        const ScopedEnv env(THREADS, c.value);
        EXPECT_EQ(ffmpeg_thread_count_from_env(), c.count) << (c.value ? c.value : "(unset)");
    }
}

int thread_count_of_a_new_decoder(const char* value) {
    const ScopedEnv env(THREADS, value);
    return on_fresh_thread([] {
        auto decoder = create_h264_decoder();
        return decoder ? (*decoder)->thread_count : -1;
    });
}

TEST(ThreadCount, ANewDecoderKeepsTheLow32BitsOfTheCount) {
    // FFmpeg replaces 0 by the number it chooses when the decoder opens.
    const int chosen_by_ffmpeg = thread_count_of_a_new_decoder(nullptr);
    ASSERT_GE(chosen_by_ffmpeg, 1);
    const struct {
        const char* value;
        int thread_count;
    } cases[] = {{"4294967297", 1}, {"3", 3}, {"+0002", 2}, {"4294967296", chosen_by_ffmpeg}, {"junk", chosen_by_ffmpeg}};
    for (const auto& c : cases) {
        EXPECT_EQ(thread_count_of_a_new_decoder(c.value), c.thread_count) << c.value;
    }
}

}  // namespace
}  // namespace pytovrik::testing
