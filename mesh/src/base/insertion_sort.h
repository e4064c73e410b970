// The stable sort of the few members of most JSON objects.
//
// Insertion sort needs no buffer, which std::stable_sort allocates even for a
// handful of elements, and beats the library's sorts on short ranges; past
// kInsertionSortLimit elements callers use a library sort instead.
//
// Thread safety: a plain function on its arguments.

#pragma once

#include <algorithm>
#include <cstddef>
#include <iterator>

namespace vennu {

inline constexpr std::size_t kInsertionSortLimit = 16;

// Sorts [first, last) by less, keeping equal elements in their order. Each
// element is held aside while those before it that it precedes move up one,
// so an element already in place costs one comparison.
template <class Iterator, class Less>
void insertion_sort(Iterator first, Iterator last, Less less) {
  if (first == last) return;
  for (Iterator it = std::next(first); it != last; ++it) {
    if (!less(*it, *std::prev(it))) continue;
    auto held = std::move(*it);
    Iterator hole = it;
    do {
      *hole = std::move(*std::prev(hole));
      --hole;
    } while (hole != first && less(held, *std::prev(hole)));
    *hole = std::move(held);
  }
}

}  // namespace vennu
