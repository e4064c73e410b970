// A value or an error, for operations that report failure as a value.
//
// The core returns errors instead of throwing them; exceptions are reserved
// for broken invariants (see timestamp.h), which the Python boundary turns
// into a panic.

#pragma once

#include <utility>
#include <variant>

namespace vennu {

template <class E>
struct Unexpected {
  E error;
};

template <class E>
Unexpected<E> unexpected(E error) {
  return Unexpected<E>{std::move(error)};
}

template <class T, class E>
class Expected {
 public:
  Expected(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  Expected(Unexpected<E> failure) : state_(std::in_place_index<1>, std::move(failure.error)) {}

  bool has_value() const { return state_.index() == 0; }
  explicit operator bool() const { return has_value(); }

  T& value() & { return std::get<0>(state_); }
  const T& value() const& { return std::get<0>(state_); }
  // By value, so that f().value() in a range-for does not outlive f()'s result.
  T value() && { return std::get<0>(std::move(state_)); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  E& error() & { return std::get<1>(state_); }
  const E& error() const& { return std::get<1>(state_); }
  E error() && { return std::get<1>(std::move(state_)); }

 private:
  std::variant<T, E> state_;
};

// Success carries nothing.
template <class E>
class Expected<void, E> {
 public:
  Expected() = default;
  Expected(Unexpected<E> failure) : error_(std::move(failure.error)), failed_(true) {}

  bool has_value() const { return !failed_; }
  explicit operator bool() const { return has_value(); }

  E& error() & { return error_; }
  const E& error() const& { return error_; }
  E error() && { return std::move(error_); }

 private:
  E error_{};
  bool failed_ = false;
};

}  // namespace vennu
