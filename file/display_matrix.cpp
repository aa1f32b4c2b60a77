#include "display_matrix.hpp"

#include <cmath>
#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/display.h>
}

namespace pytovrik::file {

Orientation orientation_of(const std::array<std::int32_t, 9>& matrix) {
    std::array<std::int32_t, 9> turn = matrix;
    Orientation orientation;
    // A negative determinant mirrors. Taking the mirror out first (negating
    // the first row) leaves the turn that follows it.
    const double determinant = static_cast<double>(matrix[0]) * matrix[4] - static_cast<double>(matrix[1]) * matrix[3];
    if (determinant < 0) {
        orientation.mirrored = true;
        turn[0] = -turn[0];
        turn[1] = -turn[1];
    }
    // av_display_rotation_get gives the angle counter-clockwise; ffmpeg turns
    // by its negation, rounded, as a clockwise angle.
    const double counter_clockwise = av_display_rotation_get(turn.data());
    if (std::isnan(counter_clockwise)) {
        return Orientation{};
    }
    const double clockwise = -std::round(counter_clockwise);
    const long quarter = std::lround(clockwise / 90.0);
    orientation.rotation = static_cast<std::uint32_t>(((quarter % 4) + 4) % 4) * 90;
    return orientation;
}

std::optional<std::array<std::int32_t, 9>> stream_display_matrix(const AVStream& stream) {
    const std::uint8_t* data = nullptr;
    std::size_t size = 0;
#if LIBAVCODEC_VERSION_INT >= AV_VERSION_INT(60, 31, 100)
    // Stream side data moved into the codec parameters.
    const AVPacketSideData* side = av_packet_side_data_get(stream.codecpar->coded_side_data,
                                                           stream.codecpar->nb_coded_side_data,
                                                           AV_PKT_DATA_DISPLAYMATRIX);
    if (side != nullptr) {
        data = side->data;
        size = side->size;
    }
#else
    std::size_t side_size = 0;
    data = av_stream_get_side_data(&stream, AV_PKT_DATA_DISPLAYMATRIX, &side_size);
    size = static_cast<std::size_t>(side_size);
#endif
    std::array<std::int32_t, 9> matrix{};
    if (data == nullptr || size < sizeof matrix) {
        return std::nullopt;
    }
    std::memcpy(matrix.data(), data, sizeof matrix);
    return matrix;
}

}  // namespace pytovrik::file
