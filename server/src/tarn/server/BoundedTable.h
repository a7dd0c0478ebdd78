#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <random>
#include <vector>

namespace tarn {
namespace server {

// A fixed-size, thread-safe map from 64-bit keys to small values that never allocates after
// construction: a full set evicts its least recently touched entry, so a flood of new keys costs
// old entries, never memory. Keys are hashed with a random seed so that nobody outside can aim a
// flood at one set.
template <typename Value>
class BoundedTable {
public:
    using Clock = std::chrono::steady_clock;

    // Holds at least capacity entries (rounded up to whole sets of kWays).
    explicit BoundedTable(std::size_t capacity) {
        std::size_t sets = 1;
        while (sets * kWays < capacity) {
            sets *= 2;
        }
        setMask = sets - 1;
        slots.resize(sets * kWays);
        stripes = std::make_unique<Stripe[]>(kStripes);
        seed = (static_cast<std::uint64_t>(std::random_device{}()) << 32) ^ std::random_device{}();
    }

    std::size_t capacity() const { return slots.size(); }
    // Entries in use: grows until the table is full, since an entry is only ever replaced.
    std::size_t size() const { return used.load(std::memory_order_relaxed); }

    // Calls fn(value, isNew) on the entry of key under its lock, creating the entry if needed, and
    // marks it touched at now. Returns what fn returns.
    template <typename Fn>
    auto update(std::uint64_t key, Clock::time_point now, Fn&& fn) {
        const std::size_t set = setOf(key);
        std::lock_guard<std::mutex> lock(stripes[set % kStripes].mutex);
        Slot* slot = findIn(set, key);
        bool isNew = false;
        if (slot == nullptr) {
            slot = oldestIn(set);
            if (!slot->used) {
                used.fetch_add(1, std::memory_order_relaxed);
            }
            *slot = Slot{key, now, Value{}, true};
            isNew = true;
        }
        slot->touched = now;
        return fn(slot->value, isNew);
    }

    // Calls fn(value, touched) on the entry of key if there is one (fn may change the value but not
    // its recency); returns whether there was.
    template <typename Fn>
    bool find(std::uint64_t key, Fn&& fn) {
        const std::size_t set = setOf(key);
        std::lock_guard<std::mutex> lock(stripes[set % kStripes].mutex);
        Slot* slot = findIn(set, key);
        if (slot == nullptr) {
            return false;
        }
        fn(slot->value, slot->touched);
        return true;
    }

private:
    static constexpr std::size_t kWays = 8;
    static constexpr std::size_t kStripes = 64;

    struct Slot {
        std::uint64_t key = 0;
        Clock::time_point touched{};
        Value value{};
        bool used = false;
    };
    // One lock per cache line, so that workers on different stripes do not slow each other down.
    struct alignas(64) Stripe {
        std::mutex mutex;
    };

    std::size_t setOf(std::uint64_t key) const {
        std::uint64_t h = key ^ seed;
        h = (h ^ (h >> 30)) * 0xbf58476d1ce4e5b9ULL;
        h = (h ^ (h >> 27)) * 0x94d049bb133111ebULL;
        return static_cast<std::size_t>(h ^ (h >> 31)) & setMask;
    }

    Slot* findIn(std::size_t set, std::uint64_t key) {
        Slot* first = &slots[set * kWays];
        for (std::size_t way = 0; way < kWays; ++way) {
            if (first[way].used && first[way].key == key) {
                return &first[way];
            }
        }
        return nullptr;
    }

    Slot* oldestIn(std::size_t set) {
        Slot* first = &slots[set * kWays];
        Slot* oldest = first;
        for (std::size_t way = 0; way < kWays; ++way) {
            if (!first[way].used) {
                return &first[way];
            }
            if (first[way].touched < oldest->touched) {
                oldest = &first[way];
            }
        }
        return oldest;
    }

    std::size_t setMask = 0;
    std::vector<Slot> slots;
    std::unique_ptr<Stripe[]> stripes;
    std::uint64_t seed = 0;
    std::atomic<std::size_t> used{0};
};

}  // namespace server
}  // namespace tarn
