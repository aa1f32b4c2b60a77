#pragma once

#include <string>

namespace pytovrik {

// Runs FFmpeg start-up once per process; concurrent first callers wait for it.
void ensure_ffmpeg_initialized();

// The text of an FFmpeg return code as it appears in failure messages: the
// text av_strerror gave at start-up for FFmpeg's own codes, the C library's
// strerror for everything else (taken as AVERROR of a POSIX error number).
std::string ffmpeg_error_text(int code);

}  // namespace pytovrik
