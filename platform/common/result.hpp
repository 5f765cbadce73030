#pragma once
// A value or an error, carried up to the entry point instead of thrown.

#include <cassert>
#include <type_traits>
#include <utility>
#include <variant>

namespace pellimar {

template <typename E>
struct Failure {
    E error;
};

template <typename E>
Failure<std::decay_t<E>> fail(E&& error) {
    return {std::forward<E>(error)};
}

template <typename T, typename E>
class [[nodiscard]] Result {
  public:
    Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
    Result(Failure<E> f) : v_(std::in_place_index<1>, std::move(f.error)) {}

    bool ok() const { return v_.index() == 0; }
    explicit operator bool() const { return ok(); }

    T& value() & {
        assert(ok());
        return std::get<0>(v_);
    }
    const T& value() const& {
        assert(ok());
        return std::get<0>(v_);
    }
    T&& value() && {
        assert(ok());
        return std::get<0>(std::move(v_));
    }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }

    const E& error() const& {
        assert(!ok());
        return std::get<1>(v_);
    }
    E&& error() && {
        assert(!ok());
        return std::get<1>(std::move(v_));
    }

  private:
    std::variant<T, E> v_;
};

// For operations that yield nothing but may fail.
template <typename E>
class [[nodiscard]] Result<void, E> {
  public:
    Result() = default;
    Result(Failure<E> f) : error_(std::move(f.error)), failed_(true) {}

    bool ok() const { return !failed_; }
    explicit operator bool() const { return ok(); }
    const E& error() const& {
        assert(failed_);
        return error_;
    }
    E&& error() && {
        assert(failed_);
        return std::move(error_);
    }

  private:
    E error_{};
    bool failed_ = false;
};

}  // namespace pellimar
