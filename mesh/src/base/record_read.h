// Reading one record of the registry or the migration controller, or one
// value of the state store, into room its caller owns, such as an array on
// the caller's stack: each keeps its whole text ready, so such a read is one
// copy under the shared lock and needs no buffer of the reader's own.
//
// Thread safety: pure functions.

#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>

namespace vennu {

// How a read went: no such record, the text copied, or a text longer than
// the room (which is then left as it was).
enum class RecordRead : std::uint8_t { kAbsent, kCopied, kLonger };

// Copies a record's text into room, its size into *size: kCopied, or
// kLonger with room untouched.
inline RecordRead copy_record(std::string_view text, std::span<char> room, std::size_t* size) {
  *size = text.size();
  if (text.size() > room.size()) return RecordRead::kLonger;
  std::memcpy(room.data(), text.data(), text.size());
  return RecordRead::kCopied;
}

}  // namespace vennu
