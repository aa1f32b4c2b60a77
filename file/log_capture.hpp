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
// Stops, and returns what was kept: the messages, one per line.
std::string end_log_capture();

}  // namespace pytovrik::file
