// Where FFmpeg's messages go that no request keeps as its reason: to
// FFmpeg's own printing on stderr, as always, or, once a host asks for it,
// to a bounded queue the host drains into its own logging. A queue rather
// than a callback into the host: messages come from FFmpeg's frame threads
// too, at any time, also while the host's runtime is shutting down.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <string>

namespace pytovrik::file {

// A message as FFmpeg prints it, its context's name in front.
std::string format_log_line(void* context, int level, const char* format, va_list arguments);

// What the log callback does with a message it does not keep.
void pass_on_log(void* context, int level, const char* format, va_list arguments);

// Queues messages instead of printing them (true), or prints them again.
void queue_logs(bool queue);
// Takes the oldest queued message; false when there is none. `dropped`
// counts the messages lost to a full queue since the last take.
bool take_queued_log(int& level, std::string& line, std::uint64_t& dropped);

}  // namespace pytovrik::file
