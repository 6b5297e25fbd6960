// Why a step failed, the one way the program says it: each step that can fail
// for a reason worth telling returns a Result or an Expected, and the caller
// turns the first failure into its cause line. A step whose failure carries more
// than words (how a run ends, with which exit status) names its own error type.
#pragma once

#include <exception>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

namespace corvana {

// What a step worked on (a path, a name; may be empty) and the words for why it failed.
struct Failure {
    std::string what;
    std::string why;

    std::string Text() const { return what.empty() ? why : what + ": " + why; }
};

// A step that gives nothing back: it worked, or its error tells why not.
// True when it worked.
template <class E>
class [[nodiscard]] ResultOf {
public:
    ResultOf() = default;
    ResultOf(E error) : m_error(std::move(error)) {}  // NOLINT: an error is a result

    explicit operator bool() const { return !m_error.has_value(); }
    // Only when it failed.
    const E& GetFailure() const { return *m_error; }

private:
    std::optional<E> m_error;
};

using Result = ResultOf<Failure>;

// A step that gives a value back, or its error. True when it has the value.
template <class T, class E = Failure>
class [[nodiscard]] Expected {
public:
    Expected(T value) : m_value(std::move(value)) {}  // NOLINT: a value is a result
    Expected(E error) : m_error(std::move(error)) {}  // NOLINT: so is an error

    explicit operator bool() const { return m_value.has_value(); }
    const T& operator*() const { return *m_value; }
    T& operator*() { return *m_value; }
    const T* operator->() const { return &*m_value; }
    // Only when it failed.
    const E& GetFailure() const { return m_error; }

private:
    std::optional<T> m_value;
    E m_error{};
};

// What was thrown, in words for a cause: "out of memory" for an allocation that
// failed, else the exception's own text.
inline std::string DescribeException(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::bad_alloc&) {
        return "out of memory";
    } catch (const std::exception& thrown) {
        return thrown.what();
    } catch (...) {
        return "an unexpected failure";
    }
}

}  // namespace corvana
