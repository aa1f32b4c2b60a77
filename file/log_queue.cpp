#include "log_queue.hpp"

#include <pthread.h>

#include <atomic>
#include <deque>
#include <mutex>
#include <utility>

#include "log_capture.hpp"

extern "C" {
#include <libavutil/log.h>
}

namespace pytovrik::file {
namespace {

// A host that never drains loses the oldest messages, not memory.
constexpr std::size_t MAX_QUEUED = 1024;

struct Queued {
    int level;
    std::string line;
};

struct Queue {
    std::mutex lock;
    std::deque<Queued> messages;
    std::uint64_t dropped = 0;
};

std::atomic<bool> QUEUEING{false};

Queue& queue() {
    // Never destroyed: FFmpeg's threads may log while the process exits.
    static Queue* const instance = new Queue;
    return *instance;
}

// A thread that logs while another forks (a data loader forking its
// workers while FFmpeg's threads decode) would leave the child's queue
// locked for good: the fork waits until no thread holds it.
void lock_before_fork() { queue().lock.lock(); }
void unlock_after_fork() { queue().lock.unlock(); }
[[maybe_unused]] const bool FORK_HANDLERS_REGISTERED =
    pthread_atfork(&lock_before_fork, &unlock_after_fork, &unlock_after_fork) == 0;

}  // namespace

std::string format_log_line(void* context, int level, const char* format, va_list arguments) {
    char line[1024];
    int print_prefix = 1;
    va_list copy;
    va_copy(copy, arguments);
    av_log_format_line2(context, level, format, copy, line, sizeof line, &print_prefix);
    va_end(copy);
    return line;
}

void pass_on_log(void* context, int level, const char* format, va_list arguments) {
    if (!QUEUEING.load(std::memory_order_relaxed)) {
        av_log_default_callback(context, level, format, arguments);
        return;
    }
    if (level > av_log_get_level()) {
        return;
    }
    std::string text = format_log_line(context, level, format, arguments);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
        text.pop_back();
    }
    if (text.empty()) {
        return;
    }
    Queue& q = queue();
    const std::lock_guard<std::mutex> held(q.lock);
    if (q.messages.size() >= MAX_QUEUED) {
        q.messages.pop_front();
        ++q.dropped;
    }
    q.messages.push_back(Queued{level, std::move(text)});
}

void queue_logs(bool queueing) {
    install_log_callback();
    QUEUEING.store(queueing, std::memory_order_relaxed);
}

bool take_queued_log(int& level, std::string& line, std::uint64_t& dropped) {
    Queue& q = queue();
    const std::lock_guard<std::mutex> held(q.lock);
    if (q.messages.empty()) {
        return false;
    }
    level = q.messages.front().level;
    line = std::move(q.messages.front().line);
    q.messages.pop_front();
    dropped = std::exchange(q.dropped, 0);
    return true;
}

}  // namespace pytovrik::file
