// Guarded sections for the subsystems, whose operations answer a MeshResult:
// what the section returns is the answer, and a poisoned lock answers the
// subsystem's poisoned error instead, so that no operation checks for it
// itself. A section that can fail returns a MeshResult, answered as it is.
//
// Thread safety: as Guarded's (sync/guarded.h).

#pragma once

#include <optional>
#include <type_traits>
#include <utility>

#include "base/error.h"
#include "sync/guarded.h"

namespace vennu {

namespace guarded_result {

template <class Value>
struct Of {
  using Type = MeshResult<Value>;
};
template <class Value>
struct Of<MeshResult<Value>> {
  using Type = MeshResult<Value>;
};

// What a section returned, held until the lock is let go: as it is when it
// has a default value, else in an optional.
template <class Value>
class Held {
 public:
  template <class Section, class Data>
  void run(Section& section, Data& data) {
    if constexpr (kPlain) {
      value_ = section(data);
    } else {
      value_.emplace(section(data));
    }
  }

  typename Of<Value>::Type answer() {
    if constexpr (kPlain) {
      return std::move(value_);
    } else {
      return std::move(*value_);
    }
  }

 private:
  static constexpr bool kPlain = std::is_default_constructible_v<Value>;
  std::conditional_t<kPlain, Value, std::optional<Value>> value_{};
};

// Runs section(data) by lock(fn), guarded.read or guarded.write, which
// calls fn(data) under the lock and tells whether it ran.
template <class Data, class Lock, class Section>
inline auto answer(MeshError (*poisoned)(), Lock lock, Section& section) {
  using Value = std::invoke_result_t<Section&, Data&>;
  using Result = typename Of<Value>::Type;
  if constexpr (std::is_void_v<Value>) {
    if (!lock(section)) return Result(unexpected(poisoned()));
    return Result();
  } else {
    Held<Value> held;
    if (!lock([&](Data& data) { held.run(section, data); })) return Result(unexpected(poisoned()));
    return held.answer();
  }
}

}  // namespace guarded_result

// section(data) under the shared lock.
template <class T, class Mutex, class Section>
inline auto read_or_poisoned(const Guarded<T, Mutex>& guarded, MeshError (*poisoned)(),
                             Section&& section) {
  return guarded_result::answer<const T>(
      poisoned, [&](auto&& fn) { return guarded.read(fn); }, section);
}

// section(data) under the exclusive lock (its failures as Guarded::write
// says).
template <class T, class Mutex, class Section>
inline auto write_or_poisoned(Guarded<T, Mutex>& guarded, MeshError (*poisoned)(),
                              Section&& section) {
  return guarded_result::answer<T>(
      poisoned, [&](auto&& fn) { return guarded.write(fn); }, section);
}

}  // namespace vennu
