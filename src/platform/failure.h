// Why a step failed, the one way the program says it: each step that can fail
// for a reason worth telling returns a Result, and the run turns the first
// failure into its cause line.
#pragma once

#include <optional>
#include <string>
#include <utility>

namespace corvana {

// What a step worked on (a path, a name; may be empty) and the words for why it failed.
struct Failure {
    std::string what;
    std::string why;

    std::string Text() const { return what.empty() ? why : what + ": " + why; }
};

// A step that gives nothing back: it worked, or its Failure tells why not.
// True when it worked.
class [[nodiscard]] Result {
public:
    Result() = default;
    Result(Failure failure) : m_failure(std::move(failure)) {}  // NOLINT: a failure is a result

    explicit operator bool() const { return !m_failure.has_value(); }
    // Only when it failed.
    const Failure& GetFailure() const { return *m_failure; }

private:
    std::optional<Failure> m_failure;
};

// A step that gives a value back, or its Failure. True when it has the value.
template <class T>
class [[nodiscard]] Expected {
public:
    Expected(T value) : m_value(std::move(value)) {}              // NOLINT: a value is a result
    Expected(Failure failure) : m_failure(std::move(failure)) {}  // NOLINT: so is a failure

    explicit operator bool() const { return m_value.has_value(); }
    const T& operator*() const { return *m_value; }
    // Only when it failed.
    const Failure& GetFailure() const { return m_failure; }

private:
    std::optional<T> m_value;
    Failure m_failure;
};

}  // namespace corvana
