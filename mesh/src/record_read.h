// Reading one record of the registry or the migration controller into room
// its caller owns, such as an array on the caller's stack: each record keeps
// its whole text ready, so such a read is one copy under the shared lock and
// needs no buffer of the reader's own.
//
// Thread safety: a plain enumeration.

#pragma once

#include <cstdint>

namespace vennu {

// How a read went: no such record, the text copied, or a text longer than
// the room (which is then left as it was).
enum class RecordRead : std::uint8_t { kAbsent, kCopied, kLonger };

}  // namespace vennu
