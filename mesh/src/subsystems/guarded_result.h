// Guarded sections for the subsystems, whose operations answer a
// MeshResult: what the section returns is the answer, and a poisoned lock
// answers the subsystem's poisoned error instead. A section that can fail
// returns a MeshResult, answered as it is.
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

// The answer to a section that returns Value: a MeshResult as it is, any
// other value in one.
template <class Value>
MeshResult<Value> result_of(Value*);
template <class Value>
MeshResult<Value> result_of(MeshResult<Value>*);

// section(data) by lock(fn), guarded.read or guarded.write, which calls
// fn(data) under the lock and tells whether it ran. A value with a default
// is held as it is: an optional would cost the record reads their speed.
template <class Data, class Lock, class Section>
inline auto answer(MeshError (*poisoned)(), Lock lock, Section& section) {
  using Value = std::invoke_result_t<Section&, Data&>;
  using Result = decltype(result_of(static_cast<Value*>(nullptr)));
  if constexpr (std::is_void_v<Value>) {
    if (!lock(section)) return Result(unexpected(poisoned()));
    return Result();
  } else if constexpr (std::is_default_constructible_v<Value>) {
    Value value{};
    if (!lock([&](Data& data) { value = section(data); })) return Result(unexpected(poisoned()));
    return Result(std::move(value));
  } else {
    std::optional<Value> value;
    if (!lock([&](Data& data) { value.emplace(section(data)); })) {
      return Result(unexpected(poisoned()));
    }
    return Result(std::move(*value));
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
