// Keeps FFmpeg's error messages of the calling thread while a request of
// the file layer runs, so that a failure can say what the decoder said. The
// capture goes through one process-wide av_log callback, installed on first
// use; every message it does not keep goes on to FFmpeg's default printing,
// so the process logs as before. Messages that FFmpeg's frame threads log
// on their own threads are not the calling thread's and are not kept.
#pragma once

#include <string>

namespace pytovrik::file {

// Installs the process-wide callback, once; begin_log_capture does too.
void install_log_callback();
// Starts keeping the calling thread's messages at error level and above,
// dropping what an earlier capture kept.
void begin_log_capture();

struct CapturedLog {
    std::string text;  // the messages kept, joined into one line
    // The decoding library warned that a picture it returned or decoded was
    // damaged and concealed.
    bool concealed = false;
};
// Stops, and returns what was kept.
CapturedLog end_log_capture();

}  // namespace pytovrik::file
