// The map of the registry, the migration controller and the channels: text
// keys filed under the hash they came with (seeded_hash.h), looked up by
// HashedKey.
//
// Open addressing with linear probing over a power of two of slots, each
// holding an entry's hash and a pointer to the entry, so that a probe looks
// at an entry only where the hash matches and picking a slot is a mask, not
// a division. The hashes are keyed (by the table's seed or per process by
// the interpreter), so their low bits spread keys that nobody chose to
// collide. At most half the slots are taken. Entries are allocated one by
// one and never move: a reference to one stays valid until it is erased.
//
// try_emplace allocates before it changes anything, so std::bad_alloc
// leaves the map as it was; find and erase never throw. Iteration order is
// that of the slots, which depends on the hashes: unspecified.
//
// Thread safety: none; the tables that hold one guard it.

#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <tuple>
#include <type_traits>
#include <utility>

#include "base/linear_probing.h"
#include "base/seeded_hash.h"

namespace vennu {

template <class V>
class HashedTextMap {
 public:
  using value_type = std::pair<const HashedText, V>;

 private:
  struct Slot {
    std::uint64_t hash;
    value_type* entry;  // nullptr when free
  };

  template <class Value>
  class Iterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = Value;
    using difference_type = std::ptrdiff_t;
    using pointer = Value*;
    using reference = Value&;

    Iterator() = default;
    Iterator(const Slot* at, const Slot* end) : at_(at), end_(end) { skip_free(); }
    // const_iterator from iterator.
    template <class Other>
    requires std::is_const_v<Value> &&
        (!std::is_const_v<Other>)Iterator(const Iterator<Other>& other)
        : at_(other.at_), end_(other.end_) {}

    Value& operator*() const { return *at_->entry; }
    Value* operator->() const { return at_->entry; }
    Iterator& operator++() {
      ++at_;
      skip_free();
      return *this;
    }
    Iterator operator++(int) {
      Iterator before = *this;
      ++*this;
      return before;
    }
    friend bool operator==(const Iterator& a, const Iterator& b) { return a.at_ == b.at_; }

   private:
    template <class>
    friend class Iterator;
    friend class HashedTextMap;

    void skip_free() {
      while (at_ != end_ && at_->entry == nullptr) ++at_;
    }

    const Slot* at_ = nullptr;
    const Slot* end_ = nullptr;
  };

 public:
  using iterator = Iterator<value_type>;
  using const_iterator = Iterator<const value_type>;

  HashedTextMap()
      : slots_(std::make_unique<Slot[]>(kInitialCapacity)), mask_(kInitialCapacity - 1) {}
  ~HashedTextMap() {
    for (std::size_t i = 0; i <= mask_; ++i) delete slots_[i].entry;
  }
  HashedTextMap(const HashedTextMap&) = delete;
  HashedTextMap& operator=(const HashedTextMap&) = delete;

  std::size_t size() const { return size_; }

  iterator begin() { return {slots_.get(), slots_end()}; }
  iterator end() { return {slots_end(), slots_end()}; }
  const_iterator begin() const { return {slots_.get(), slots_end()}; }
  const_iterator end() const { return {slots_end(), slots_end()}; }

  iterator find(const HashedKey& key) {
    const Slot* slot = find_slot(key);
    return slot != nullptr ? iterator(slot, slots_end()) : end();
  }
  const_iterator find(const HashedKey& key) const {
    const Slot* slot = find_slot(key);
    return slot != nullptr ? const_iterator(slot, slots_end()) : end();
  }

  // Inserts an entry made from key and args unless key is there already,
  // in which case neither is touched. May throw std::bad_alloc, and then
  // changes nothing.
  template <class... Args>
  std::pair<iterator, bool> try_emplace(HashedText&& key, Args&&... args) {
    if (auto found = find(HashedKey{key.text, key.hash}); found != end()) return {found, false};
    const std::uint64_t hash = key.hash;
    auto entry = std::make_unique<value_type>(std::piecewise_construct,
                                              std::forward_as_tuple(std::move(key)),
                                              std::forward_as_tuple(std::forward<Args>(args)...));
    if ((size_ + 1) * 2 > capacity()) grow();
    Slot& slot = slots_[first_free_slot(slots_.get(), mask_, hash, is_free)];
    slot = {hash, entry.release()};
    ++size_;
    return {iterator(&slot, slots_end()), true};
  }

  // Removes the entry at position, which must be one of this map's.
  void erase(const_iterator position) noexcept {
    const auto hole = static_cast<std::size_t>(position.at_ - slots_.get());
    delete slots_[hole].entry;
    free_slot_and_close_run(slots_.get(), mask_, hole, is_free, hash_of);
    --size_;
  }

 private:
  static constexpr std::size_t kInitialCapacity = 8;

  std::size_t capacity() const { return mask_ + 1; }
  const Slot* slots_end() const { return slots_.get() + capacity(); }

  const Slot* find_slot(const HashedKey& key) const {
    for (std::size_t i = static_cast<std::size_t>(key.hash) & mask_;; i = (i + 1) & mask_) {
      const Slot& slot = slots_[i];
      if (slot.entry == nullptr) return nullptr;
      if (slot.hash == key.hash && slot.entry->first.text == key.text) return &slot;
    }
  }

  static bool is_free(const Slot& slot) { return slot.entry == nullptr; }
  static std::uint64_t hash_of(const Slot& slot) { return slot.hash; }

  // Doubles the slots; may throw std::bad_alloc before anything moves.
  void grow() {
    const std::size_t capacity = 2 * this->capacity();
    auto grown = std::make_unique<Slot[]>(capacity);
    for (std::size_t i = 0; i <= mask_; ++i) {
      if (slots_[i].entry != nullptr)
        grown[first_free_slot(grown.get(), capacity - 1, slots_[i].hash, is_free)] = slots_[i];
    }
    slots_ = std::move(grown);
    mask_ = capacity - 1;
  }

  std::unique_ptr<Slot[]> slots_;
  std::size_t mask_;  // capacity() - 1
  std::size_t size_ = 0;
};

}  // namespace vennu
