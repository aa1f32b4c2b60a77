// The colour properties a frame signals that change how its samples turn
// into RGB: the matrix and the range. Primaries and transfer stay as they
// are: the output is the stream's own RGB, not a conversion to another gamut.
#pragma once

#include "common/ffmpeg_owners.hpp"

namespace pytovrik {

struct SourceColour {
    // AVCOL_SPC_UNSPECIFIED leaves libswscale's default, BT.601.
    int matrix = AVCOL_SPC_UNSPECIFIED;
    // false leaves the range the pixel format implies (full for the J
    // formats): only a signalled full range changes it.
    bool full_range = false;

    friend bool operator==(const SourceColour&, const SourceColour&) = default;
};

// What `frame`, read as `source_format`, signals. RGB sources carry no
// matrix to apply and always read as they do without one.
SourceColour source_colour(const AVFrame& frame, AVPixelFormat source_format) noexcept;

// Tells a fresh RGB scaling context what `colour` says, and leaves it
// untouched when that is what it would do anyway, so that frames that signal
// nothing convert exactly as they would without this step. False when
// libswscale refuses the details.
[[nodiscard]] bool apply_source_colour(SwsContext& context, const SourceColour& colour);

}  // namespace pytovrik
