#pragma once
// A small table-driven test runner for the Windows cross build, which has no
// Qt. It keeps Qt Test's shape: a test function runs once per data row, each
// row has a tag that is unique within its function, and a failed check ends
// the row with the values it compared.

#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace wintest {

struct Row {
    std::string tag;
    std::function<void()> body;
};

enum class Isolation {
    InProcess,
    // Each row runs in a new process of this program, for code whose module
    // state lives once per run (the cached platform query).
    FreshProcess,
};

void addTest(std::string function, std::vector<Row> rows, Isolation isolation = Isolation::InProcess);

// Runs every registered row and prints a line for each, then the totals.
// Returns the number of failed rows (a registration fault counts as one).
int runAll();

// Runs the single row `function`(`tag`) here, as a fresh process asked to.
int runOne(std::string_view function, std::string_view tag);

struct Failure {
    std::string message;
    const char* file;
    int line;
};

[[noreturn]] void fail(std::string message, const char* file, int line);

std::string describe(const std::string& bytes);
std::string describe(const std::u16string& text);
std::string describe(std::int64_t value);
std::string describe(std::uint64_t value);
std::string describe(bool value);
inline std::string describe(std::int32_t value) { return describe(static_cast<std::int64_t>(value)); }
inline std::string describe(std::uint32_t value) { return describe(static_cast<std::uint64_t>(value)); }
inline std::string describe(unsigned long value) { return describe(static_cast<std::uint64_t>(value)); }
inline std::string describe(const char* text) { return describe(std::string(text)); }
inline std::string describe(const char16_t* text) { return describe(std::u16string(text)); }
inline std::string describe(char c) { return describe(std::string(1, c)); }


template <typename T>
std::string describe(const std::set<T>& values)
{
    std::string out = "{";
    for (const T& value : values)
        out += (out.size() > 1 ? ", " : "") + describe(value);
    return out + "}";
}

template <typename T>
std::string describe(const std::vector<T>& values)
{
    std::string out = "[";
    for (const T& value : values)
        out += (out.size() > 1 ? ", " : "") + describe(value);
    return out + "]";
}

template <typename A, typename E>
void compare(const A& actual, const E& expected, const char* actualText, const char* expectedText,
             const char* file, int line)
{
    if (actual == expected)
        return;
    fail(std::string("Compared values are not the same\n   Actual   (") + actualText + "): " + describe(actual)
             + "\n   Expected (" + expectedText + "): " + describe(expected),
         file, line);
}

} // namespace wintest

#define WT_VERIFY(condition)                                                                                     \
    do {                                                                                                         \
        if (!(condition))                                                                                        \
            ::wintest::fail("'" #condition "' returned FALSE.", __FILE__, __LINE__);                             \
    } while (false)

#define WT_VERIFY2(condition, message)                                                                           \
    do {                                                                                                         \
        if (!(condition))                                                                                        \
            ::wintest::fail(std::string("'" #condition "' returned FALSE. (") + (message) + ")", __FILE__, __LINE__); \
    } while (false)

#define WT_COMPARE(actual, expected) ::wintest::compare((actual), (expected), #actual, #expected, __FILE__, __LINE__)

#define WT_FAIL(message) ::wintest::fail((message), __FILE__, __LINE__)
