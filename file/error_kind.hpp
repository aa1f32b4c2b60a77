// What kind of failure a C function of the file layer reports, for hosts
// that map failures to their own error types. Most functions know the kind
// from where they fail; a reader deep inside opening notes a kind the
// opening function could not tell from the message alone.
#pragma once

#include <cstdint>

namespace pytovrik::file {

// The values of pytovrik_video_file_last_error_kind().
enum class ErrorKind : std::int32_t {
    None = 0,
    Argument = 1,  // a null pointer, a job the plan does not have
    Source = 2,    // the file cannot be read or indexed
    Codec = 3,     // the file's video is not H.264
    Range = 4,     // a frame or time outside the file
    Decode = 5,    // frames could not be read or decoded
};

// Notes the kind of the failure being made on this thread.
void note_error_kind(ErrorKind kind);
// The kind noted since the last call, or `otherwise`; forgets it.
ErrorKind take_error_kind(ErrorKind otherwise);

}  // namespace pytovrik::file
