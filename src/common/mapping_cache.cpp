#include "common/mapping_cache.hpp"

#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <array>
#include <mutex>

namespace pytovrik {

namespace {

struct CachedMapping {
    std::uint8_t* data;
    std::size_t length;
    std::uint64_t age;  // order of arrival: the smallest goes first when room is needed
};

// Every cached mapping is at least SMALLEST_MAPPING long, so this many slots
// always suffice and nothing is allocated while the lock is held.
constexpr std::size_t SLOTS = MAPPING_CACHE_CAP / SMALLEST_MAPPING;

// Cached mappings never touch: one that arrives next to another is joined to
// it. So the pieces a mapping was split into become the whole again once the
// buffers that had them are released, whatever sizes took them meanwhile: a
// run of YUV frames does not leave only pieces too small for RGB frames.
struct MappingCache {
    std::mutex lock;
    std::size_t count = 0;  // slots [0, count) are in use, in no order
    std::size_t bytes = 0;
    std::uint64_t next_age = 0;
    std::array<CachedMapping, SLOTS> slots{};
};

// Trivially destructible parts only, so buffers released while the process
// exits still find it.
constinit MappingCache CACHE;

void remove_slot(std::size_t index) noexcept {
    CACHE.bytes -= CACHE.slots[index].length;
    CACHE.slots[index] = CACHE.slots[--CACHE.count];
}

void unmap(std::uint8_t* data, std::size_t length) noexcept {
    if (length != 0) {
        munmap(data, length);
    }
}

// Adds [data, data + length), joined with the mappings it touches.
void keep(std::uint8_t* data, std::size_t length) noexcept {
    for (std::size_t i = 0; i < CACHE.count;) {
        const CachedMapping other = CACHE.slots[i];
        if (other.data + other.length == data) {
            data = other.data;
        } else if (data + length != other.data) {
            ++i;
            continue;
        }
        length += other.length;
        remove_slot(i);
    }
    CACHE.slots[CACHE.count++] = CachedMapping{data, length, CACHE.next_age++};
    CACHE.bytes += length;
}

// Gives up `excess` bytes of the oldest mapping, its tail, or all of it when
// the rest would be too small to keep; returns what to unmap.
CachedMapping give_up_oldest(std::size_t excess) noexcept {
    std::size_t index = 0;
    for (std::size_t i = 1; i < CACHE.count; ++i) {
        if (CACHE.slots[i].age < CACHE.slots[index].age) {
            index = i;
        }
    }
    CachedMapping& oldest = CACHE.slots[index];
    if (oldest.length >= excess + SMALLEST_MAPPING) {
        oldest.length -= excess;
        CACHE.bytes -= excess;
        return CachedMapping{oldest.data + oldest.length, excess, 0};
    }
    const CachedMapping whole = oldest;
    remove_slot(index);
    return whole;
}

// fork() copies the lock in whatever state another thread held it, and the
// child never has that thread. So the lock is taken around every fork: the
// child's copy of the cache is whole and its lock free. The child then
// unmaps what it inherited, whose pages it shares with the parent until one
// of them writes; each write would copy a page, which costs more than a
// fresh one.
void before_fork() noexcept { CACHE.lock.lock(); }

void after_fork_in_parent() noexcept { CACHE.lock.unlock(); }

void after_fork_in_child() noexcept {
    while (CACHE.count != 0) {
        const CachedMapping mapping = CACHE.slots[CACHE.count - 1];
        remove_slot(CACHE.count - 1);
        unmap(mapping.data, mapping.length);
    }
    CACHE.lock.unlock();
}

// Registered when the library is loaded; without them nothing is cached.
// Not on first use: a child forked while another thread ran a function-local
// static's initialiser would find it still running, and wait for it forever.
// Nothing releases a mapping before this initialiser has run. glibc drops the
// handlers when the library is unloaded.
const bool FORK_HANDLERS_REGISTERED =
    pthread_atfork(&before_fork, &after_fork_in_parent, &after_fork_in_child) == 0;

}  // namespace

std::size_t page_size() noexcept {
    static const std::size_t size = [] {
        const long reported = sysconf(_SC_PAGESIZE);
        return reported > 0 ? static_cast<std::size_t>(reported) : std::size_t{4} << 10;
    }();
    return size;
}

std::uint8_t* take_cached_mapping(std::size_t length) noexcept {
    std::uint8_t* taken = nullptr;
    CachedMapping rest{nullptr, 0, 0};  // unmapped once the lock is released
    {
        const std::lock_guard guard(CACHE.lock);
        std::size_t best = CACHE.count;
        for (std::size_t i = 0; i < CACHE.count; ++i) {
            const std::size_t candidate = CACHE.slots[i].length;
            if (candidate >= length && (best == CACHE.count || candidate < CACHE.slots[best].length)) {
                best = i;
            }
        }
        if (best == CACHE.count) {
            return nullptr;
        }
        CachedMapping& mapping = CACHE.slots[best];
        taken = mapping.data;
        // A mapping is released by address and length alone, so its head and
        // the rest become two mappings from here on.
        rest = CachedMapping{mapping.data + length, mapping.length - length, mapping.age};
        if (rest.length >= SMALLEST_MAPPING) {
            CACHE.bytes -= length;
            mapping = rest;
            rest.length = 0;
        } else {
            remove_slot(best);
        }
    }
    unmap(rest.data, rest.length);
    return taken;
}

void cache_or_unmap(std::uint8_t* data, std::size_t length) noexcept {
    if (length > MAPPING_CACHE_CAP || !FORK_HANDLERS_REGISTERED) {
        unmap(data, length);
        return;
    }
    for (;;) {
        CachedMapping given_up{nullptr, 0, 0};
        {
            const std::lock_guard guard(CACHE.lock);
            if (CACHE.bytes + length <= MAPPING_CACHE_CAP) {
                keep(data, length);
                return;
            }
            given_up = give_up_oldest(CACHE.bytes + length - MAPPING_CACHE_CAP);
        }
        // Unmapping takes as long as freeing the pages: never under the lock.
        unmap(given_up.data, given_up.length);
    }
}

void unmap_cached_mappings() noexcept {
    for (;;) {
        CachedMapping mapping{nullptr, 0, 0};
        {
            const std::lock_guard guard(CACHE.lock);
            if (CACHE.count == 0) {
                return;
            }
            mapping = CACHE.slots[CACHE.count - 1];
            remove_slot(CACHE.count - 1);
        }
        unmap(mapping.data, mapping.length);
    }
}

std::size_t cached_mapping_bytes() noexcept {
    const std::lock_guard guard(CACHE.lock);
    return CACHE.bytes;
}

}  // namespace pytovrik
