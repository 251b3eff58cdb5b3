// id_map.h - open-addressing hash map keyed by 64-bit submission ids.
//
// Every submission inserts one entry and every completion removes one, so
// the map must not allocate per entry: values live inline in one slot array
// (linear probing, backward-shift deletion so there are no tombstones to
// sweep). The array doubles when it is half full.
//
// Keys are spread with Fibonacci hashing. Taking the low bits of the
// sequential ids would keep the live window in consecutive slots, but a
// block of long-lived entries (reads parked on a pipe, say) then becomes one
// long cluster that every later id wrapping around the table must probe
// through. While no entry is displaced from its home slot, removal just
// empties the slot, since there is nobody to shift back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <utility>

#include "ring/resources.h"

namespace uring {

template <class V>
class IdMap {
    struct Slot {
        uint64_t key;
        bool full;
        alignas(V) unsigned char storage[sizeof(V)];
        V* value() { return std::launder(reinterpret_cast<V*>(storage)); }
    };

  public:
    IdMap() = default;
    IdMap(IdMap&& o) noexcept
        : slots_(std::exchange(o.slots_, nullptr)),
          cap_(std::exchange(o.cap_, 0)),
          limit_(std::exchange(o.limit_, 0)),
          shift_(std::exchange(o.shift_, 64)),
          size_(std::exchange(o.size_, 0)),
          displaced_(std::exchange(o.displaced_, 0)) {}
    IdMap& operator=(IdMap&& o) noexcept {
        if (this != &o) {
            clear();
            slots_ = std::exchange(o.slots_, nullptr);
            cap_ = std::exchange(o.cap_, 0);
            limit_ = std::exchange(o.limit_, 0);
            shift_ = std::exchange(o.shift_, 64);
            size_ = std::exchange(o.size_, 0);
            displaced_ = std::exchange(o.displaced_, 0);
        }
        return *this;
    }
    IdMap(const IdMap&) = delete;
    IdMap& operator=(const IdMap&) = delete;
    ~IdMap() { clear(); }

    size_t size() const { return size_; }
    size_t capacity() const { return cap_; }

    // Stores `value` under `key`. A value already stored under the key is
    // handed to `displaced` (by rvalue) before it is overwritten.
    template <class Displaced>
    void insert(uint64_t key, V&& value, Displaced&& displaced) {
        emplace(key, displaced, std::move(value));
    }

    // The same, constructing the value in its slot from `args`.
    template <class Displaced, class... Args>
    void emplace(uint64_t key, Displaced&& displaced, Args&&... args) {
        if (size_ >= limit_) grow();
        const size_t h = home(key);
        for (size_t i = h;; i = (i + 1) & (cap_ - 1)) {
            Slot& s = slots_[i];
            if (!s.full) {
                new (s.storage) V(std::forward<Args>(args)...);
                s.key = key;
                s.full = true;
                ++size_;
                if (i != h) ++displaced_;
                return;
            }
            if (s.key == key) {
                displaced(std::move(*s.value()));
                std::destroy_at(s.value());
                new (s.storage) V(std::forward<Args>(args)...);
                return;
            }
        }
    }

    // Calls `use(V*)` with the value stored under `key` (null when there is
    // none), then destroys the value and frees its slot. If `use` throws, the
    // value stays as `use` left it, for a later attempt. The value is used in
    // place: nothing is moved on the way out.
    template <class Use>
    void consume(uint64_t key, Use&& use) {
        Slot* const s = locate(key);
        if (!s) {
            use(static_cast<V*>(nullptr));
            return;
        }
        use(s->value());
        erase_at(s);
    }

    // Destroys the value stored under `key`, if any.
    void erase(uint64_t key) {
        if (Slot* s = locate(key)) erase_at(s);
    }

    V* find(uint64_t key) {
        Slot* s = locate(key);
        return s ? s->value() : nullptr;
    }

    // Destroys every value and frees the slot array.
    void clear() {
        if (!slots_) return;
        for (size_t i = 0; i < cap_; ++i)
            if (slots_[i].full) std::destroy_at(slots_[i].value());
        forget();
    }

    // Forgets every value without destroying it: whatever the values own
    // stays allocated for the rest of the process. Used when the kernel may
    // still be using that memory.
    void abandon() {
        slots_ = nullptr;
        forget();
    }

  private:
    // The slot holding `key`, or null.
    Slot* locate(uint64_t key) const {
        if (size_ == 0) return nullptr;
        for (size_t i = home(key);; i = (i + 1) & (cap_ - 1)) {
            Slot* s = &slots_[i];
            if (!s->full) return nullptr;
            if (s->key == key) return s;
        }
    }

    void erase_at(Slot* slot) {
        std::destroy_at(slot->value());
        --size_;
        if (displaced_ == 0) {
            slot->full = false;
            return;
        }
        const size_t mask = cap_ - 1;
        const auto i = static_cast<size_t>(slot - slots_);
        if (home(slot->key) != i) --displaced_;
        // Backward shift: pull later members of the probe run into the hole
        // whenever the hole lies between their home slot and where they sit.
        size_t hole = i;
        for (size_t j = (hole + 1) & mask;; j = (j + 1) & mask) {
            Slot& s = slots_[j];
            if (!s.full) break;
            const size_t h = home(s.key);
            if (((j - h) & mask) < ((j - hole) & mask)) continue;
            slots_[hole].key = s.key;
            new (slots_[hole].storage) V(std::move(*s.value()));
            slots_[hole].full = true;
            if (h == hole) --displaced_;
            std::destroy_at(s.value());
            s.full = false;
            hole = j;
        }
        slots_[hole].full = false;
    }

    size_t home(uint64_t key) const {
        return static_cast<size_t>((key * 0x9E3779B97F4A7C15ull) >> shift_);
    }

    void forget() {
        std::free(std::exchange(slots_, nullptr));
        cap_ = 0;
        limit_ = 0;
        shift_ = 64;
        size_ = 0;
        displaced_ = 0;
    }

    void grow() {
        size_t new_cap = cap_ ? cap_ * 2 : 64;
        Slot* old = std::exchange(slots_, static_cast<Slot*>(xcalloc(new_cap, sizeof(Slot))));
        size_t old_cap = std::exchange(cap_, new_cap);
        limit_ = new_cap / 2;
        shift_ = 64;
        for (size_t c = new_cap; c > 1; c >>= 1) --shift_;
        displaced_ = 0;
        for (size_t i = 0; i < old_cap; ++i) {
            if (!old[i].full) continue;
            size_t j = home(old[i].key);
            if (slots_[j].full) ++displaced_;
            while (slots_[j].full) j = (j + 1) & (cap_ - 1);
            slots_[j].key = old[i].key;
            slots_[j].full = true;
            new (slots_[j].storage) V(std::move(*old[i].value()));
            std::destroy_at(old[i].value());
        }
        std::free(old);
    }

    Slot* slots_ = nullptr;
    size_t cap_ = 0;
    size_t limit_ = 0;       // the size at which the next insert doubles cap_
    unsigned shift_ = 64;    // 64 - log2(cap_): home() keeps the top bits
    size_t size_ = 0;
    size_t displaced_ = 0;   // entries not sitting in their home slot
};

}  // namespace uring
