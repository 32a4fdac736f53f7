// std::expected, or — for compilers whose standard library cannot instantiate it (clang 14 with
// libstdc++ 12, used for the fuzz targets and clang-tidy) — a minimal stand-in with the subset of
// its interface this code base uses.
#pragma once

#include <version>

#if defined(__cpp_lib_expected)
#include <expected>
#else
#include <cstdlib>
#include <type_traits>
#include <utility>
#include <variant>

namespace std {  // NOLINT(cert-dcl58-cpp): stands in for the missing standard type

template <class E>
class unexpected {
 public:
  template <class G = E>
  requires(!is_same_v<remove_cvref_t<G>, unexpected> &&
           is_constructible_v<E, G>) constexpr explicit unexpected(G&& e)
      : e_(std::forward<G>(e)) {}
  constexpr const E& error() const& noexcept { return e_; }
  constexpr E& error() & noexcept { return e_; }
  constexpr E&& error() && noexcept { return std::move(e_); }
  friend constexpr bool operator==(const unexpected& a, const unexpected& b) {
    return a.e_ == b.e_;
  }

 private:
  E e_;
};
template <class E>
unexpected(E) -> unexpected<E>;

template <class T, class E>
class expected {
 public:
  using value_type = T;
  using error_type = E;

  constexpr expected() requires is_default_constructible_v<T> : v_(in_place_index<0>) {}
  template <class U = T>
  requires(!is_same_v<remove_cvref_t<U>, expected> && !is_same_v<remove_cvref_t<U>, in_place_t> &&
           is_constructible_v<T, U>) constexpr expected(U&& v)
      : v_(in_place_index<0>, std::forward<U>(v)) {}  // NOLINT
  template <class G>
  constexpr expected(const unexpected<G>& e) : v_(in_place_index<1>, e.error()) {}  // NOLINT
  template <class G>
  constexpr expected(unexpected<G>&& e)  // NOLINT
      : v_(in_place_index<1>, std::move(e).error()) {}

  constexpr bool has_value() const noexcept { return v_.index() == 0; }
  constexpr explicit operator bool() const noexcept { return has_value(); }
  constexpr T& operator*() & { return std::get<0>(v_); }
  constexpr const T& operator*() const& { return std::get<0>(v_); }
  constexpr T&& operator*() && { return std::get<0>(std::move(v_)); }
  constexpr T* operator->() { return &std::get<0>(v_); }
  constexpr const T* operator->() const { return &std::get<0>(v_); }
  constexpr T& value() & { return checked(), std::get<0>(v_); }
  constexpr const T& value() const& { return checked(), std::get<0>(v_); }
  constexpr T&& value() && { return checked(), std::get<0>(std::move(v_)); }
  constexpr E& error() & { return std::get<1>(v_); }
  constexpr const E& error() const& { return std::get<1>(v_); }
  constexpr E&& error() && { return std::get<1>(std::move(v_)); }
  template <class U>
  constexpr T value_or(U&& other) const& {
    return has_value() ? **this : static_cast<T>(std::forward<U>(other));
  }
  template <class U>
  constexpr T value_or(U&& other) && {
    return has_value() ? std::move(**this) : static_cast<T>(std::forward<U>(other));
  }
  template <class U>
  friend constexpr bool operator==(const expected& a, const U& v) {
    return a.has_value() && *a == v;
  }
  template <class G>
  friend constexpr bool operator==(const expected& a, const unexpected<G>& e) {
    return !a.has_value() && a.error() == e.error();
  }

 private:
  constexpr void checked() const {
    if (!has_value()) std::abort();  // no exceptions here: value() of an error is a bug
  }
  variant<T, E> v_;
};

template <class E>
class expected<void, E> {
 public:
  using value_type = void;
  using error_type = E;

  constexpr expected() noexcept : v_(in_place_index<0>) {}
  template <class G>
  constexpr expected(const unexpected<G>& e) : v_(in_place_index<1>, e.error()) {}  // NOLINT
  template <class G>
  constexpr expected(unexpected<G>&& e)  // NOLINT
      : v_(in_place_index<1>, std::move(e).error()) {}

  constexpr bool has_value() const noexcept { return v_.index() == 0; }
  constexpr explicit operator bool() const noexcept { return has_value(); }
  constexpr void operator*() const noexcept {}
  constexpr void value() const {
    if (!has_value()) std::abort();
  }
  constexpr E& error() & { return std::get<1>(v_); }
  constexpr const E& error() const& { return std::get<1>(v_); }
  constexpr E&& error() && { return std::get<1>(std::move(v_)); }

 private:
  variant<monostate, E> v_;
};

}  // namespace std
#endif
