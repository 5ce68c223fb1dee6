// Result<T, E>: a value or the error that took its place; Status<E>: success or an error. The
// one way every layer returns a failure it does not abort on. Moving a value or an error in
// throws only if its type's move does.
#pragma once

#include <type_traits>
#include <utility>
#include <variant>

namespace gridflip {

template <class T, class E>
class [[nodiscard]] Result {
 public:
  // Implicit by design: `return value;` and `return error;` both make a Result.
  // NOLINTNEXTLINE(google-explicit-constructor)
  Result(T value) noexcept(std::is_nothrow_move_constructible_v<T>)
      : state_(std::in_place_index<0>, std::move(value)) {}
  // NOLINTNEXTLINE(google-explicit-constructor)
  Result(E error) noexcept(std::is_nothrow_move_constructible_v<E>)
      : state_(std::in_place_index<1>, std::move(error)) {}

  bool ok() const noexcept { return state_.index() == 0; }

  // Valid only when ok() / !ok() respectively; the other one throws std::bad_variant_access.
  T& value() & { return std::get<0>(state_); }
  const T& value() const& { return std::get<0>(state_); }
  T&& value() && { return std::get<0>(std::move(state_)); }
  E& error() & { return std::get<1>(state_); }
  const E& error() const& { return std::get<1>(state_); }
  E&& error() && { return std::get<1>(std::move(state_)); }

 private:
  std::variant<T, E> state_;
};

// The value of an operation that returns nothing but may fail.
struct Unit {};
template <class E>
using Status = Result<Unit, E>;
inline constexpr Unit success{};

}  // namespace gridflip
