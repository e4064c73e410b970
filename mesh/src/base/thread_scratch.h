// Scratch buffers that the JSON readers keep per thread between calls, so
// that reading a small text allocates nothing beyond what it returns.
//
// Each buffer keeps up to kKeptScratchBytes of room, so that one huge text
// does not pin its memory to the thread.
//
// Thread safety: each buffer is its thread's own.

#pragma once

#include <cstddef>

namespace vennu {

inline constexpr std::size_t kKeptScratchBytes = std::size_t{1} << 16;

// Empties a vector or string for the next call, and frees its room when
// there is more than is kept.
template <class Buffer>
void reset_scratch(Buffer& buffer) {
  buffer.clear();
  if (buffer.capacity() * sizeof(buffer[0]) > kKeptScratchBytes) Buffer().swap(buffer);
}

}  // namespace vennu
