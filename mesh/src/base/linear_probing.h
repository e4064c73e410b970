// The steps that the open-addressing tables (the state store's, and
// HashedTextMap) share: linear probing over a power of two of slots, home
// slot hash & mask, no tombstones.
//
// A slot type is anything copyable whose value-initialized form is a free
// slot; the caller says how to tell a free slot and the hash a taken one
// was filed under.
//
// Thread safety: plain functions on the caller's slots.

#pragma once

#include <cstddef>
#include <cstdint>

namespace vennu {

// The first free slot of the probe run that starts at hash's home slot.
template <class Slot, class IsFree>
std::size_t first_free_slot(const Slot* slots, std::size_t mask, std::uint64_t hash,
                            IsFree is_free) {
  std::size_t slot = static_cast<std::size_t>(hash) & mask;
  while (!is_free(slots[slot])) slot = (slot + 1) & mask;
  return slot;
}

// Frees the slot hole. Each later slot of its run that could sit in the
// hole moves back into it, so no probe meets a gap before its entry.
template <class Slot, class IsFree, class HashOf>
void free_slot_and_close_run(Slot* slots, std::size_t mask, std::size_t hole, IsFree is_free,
                             HashOf hash_of) {
  for (std::size_t next = (hole + 1) & mask; !is_free(slots[next]); next = (next + 1) & mask) {
    const std::size_t home = static_cast<std::size_t>(hash_of(slots[next])) & mask;
    if (((next - home) & mask) >= ((next - hole) & mask)) {
      slots[hole] = slots[next];
      hole = next;
    }
  }
  slots[hole] = Slot{};
}

}  // namespace vennu
