// The bytes of one source: a file read with pread, a memory range read in
// place, or a host's read callback. Reads name no seek position, so any
// number of threads may read at once; a file that shrinks under us gives a
// short read instead of the SIGBUS a mapping would.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/outcome.hpp"

namespace pytovrik::file {

// A host's reader: fills up to `size` bytes at `offset` into `buffer` and
// returns how many it gave (0 at the end, fewer than asked when it chooses),
// or -1 on failure. Called from whichever thread reads, perhaps several at
// once.
struct ReadCallback {
    void* context = nullptr;
    std::int64_t (*read)(void* context, std::uint64_t offset, std::uint8_t* buffer, std::uint64_t size) = nullptr;
};

class FileBytes {
public:
    static Outcome<std::shared_ptr<FileBytes>> open(const std::string& path);
    // The caller keeps the memory, or the reader's context, valid and
    // unchanged for as long as the object lives.
    static std::shared_ptr<FileBytes> over_memory(std::span<const std::uint8_t> bytes, std::string name);
    static std::shared_ptr<FileBytes> over_callback(ReadCallback reader, std::uint64_t size, std::string name);

    FileBytes(const FileBytes&) = delete;
    FileBytes& operator=(const FileBytes&) = delete;
    ~FileBytes();

    // The path, or the name the host gave: what messages call the source.
    const std::string& path() const noexcept { return path_; }
    // The size when the source was opened.
    std::uint64_t size() const noexcept { return size_; }
    // Bytes handed out by read() and view() so far, by every thread.
    std::uint64_t bytes_read() const noexcept { return bytes_read_.load(std::memory_order_relaxed); }

    // Fills `out` from `offset` on. Returns how many bytes the source held
    // there: fewer than out.size() only at its end.
    Outcome<std::size_t> read(std::uint64_t offset, std::span<std::uint8_t> out) const;

    // True for a host's reader, where each read is a call that may cross a
    // network: readers then ask for a whole stretch at once.
    bool reads_are_calls() const noexcept { return kind_ == Kind::Callback; }

    // The bytes from `offset` on, up to `count` of them (fewer at the end),
    // where they lie in memory already; nullopt for other sources.
    std::optional<std::span<const std::uint8_t>> view(std::uint64_t offset, std::size_t count) const;

    // While on, bytes once read are handed out again from memory, the
    // latest REMEMBERED_BYTES of them: opening reads some stretches more
    // than once (libavformat probes the head and, for MPEG-TS, the tail
    // before its scan reads the whole file from the start; the scan
    // compares each packet with the file's bytes), and a remote source
    // should pay for each byte once. The first REMEMBERED_HEAD bytes go
    // last, the lowest stretches first: a scan that has passed them reads
    // them no more, but probes the head again to read samples back, and
    // reads last the tail libavformat read first. Off (the default) frees
    // them; reads then go to the source directly. Turned on and off by the
    // thread that opens, while no other reads.
    void remember_reads(bool on);
    static constexpr std::size_t REMEMBERED_BYTES = std::size_t{16} << 20;
    static constexpr std::uint64_t REMEMBERED_HEAD = std::uint64_t{1} << 20;

private:
    FileBytes(std::uint64_t size, std::string path) noexcept : size_(size), path_(std::move(path)) {}

    Outcome<std::size_t> read_source(std::uint64_t offset, std::span<std::uint8_t> out) const;
    std::size_t read_ahead() const noexcept;
    Outcome<std::size_t> read_remembered(std::uint64_t offset, std::span<std::uint8_t> out) const;
    Outcome<std::size_t> read_file(std::uint64_t offset, std::span<std::uint8_t> out) const;
    Outcome<std::size_t> read_callback(std::uint64_t offset, std::span<std::uint8_t> out) const;

    enum class Kind { File, Memory, Callback };
    Kind kind_ = Kind::File;
    int descriptor_ = -1;
    const std::uint8_t* memory_ = nullptr;
    ReadCallback reader_;
    std::uint64_t size_;
    std::string path_;
    mutable std::atomic<std::uint64_t> bytes_read_{0};

    // Stretches read while remembering, by offset; they never overlap.
    bool remembering_ = false;
    mutable std::map<std::uint64_t, std::vector<std::uint8_t>> remembered_;
    mutable std::size_t remembered_bytes_ = 0;
};

}  // namespace pytovrik::file
