#include "harness.h"

#include "support.h"

#include <cstdio>
#include <exception>
#include <set>

namespace wintest {
namespace {

struct TestFunction {
    std::string name;
    std::vector<Row> rows;
    Isolation isolation;
};

std::vector<TestFunction>& registry()
{
    static std::vector<TestFunction> functions;
    return functions;
}

std::vector<std::string>& registrationFaults()
{
    static std::vector<std::string> faults;
    return faults;
}

void print(const std::string& line)
{
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

// Runs one row here; true when it passed.
bool runRow(const TestFunction& function, const Row& row, bool quiet)
{
    const std::string name = function.name + "(" + row.tag + ")";
    try {
        row.body();
    } catch (const Failure& failure) {
        print("FAIL!  : " + name + " " + failure.message);
        print("   Loc: [" + std::string(failure.file) + "(" + std::to_string(failure.line) + ")]");
        return false;
    } catch (const std::exception& error) {
        print("FAIL!  : " + name + " Caught unhandled exception: " + error.what());
        return false;
    }
    if (!quiet)
        print("PASS   : " + name);
    return true;
}

bool runRowInFreshProcess(const TestFunction& function, const Row& row)
{
    const std::string name = function.name + "(" + row.tag + ")";
    const std::uint32_t code = runSelf({u"--fresh", fromUtf8(function.name), fromUtf8(row.tag)}, 120000);
    if (code == 0) {
        print("PASS   : " + name + " [fresh process]");
        return true;
    }
    print("FAIL!  : " + name + " [fresh process] exited with code " + std::to_string(code));
    return false;
}

} // namespace

void addTest(std::string function, std::vector<Row> rows, Isolation isolation)
{
    std::set<std::string> tags;
    for (const Row& row : rows) {
        if (row.tag.empty())
            registrationFaults().push_back(function + ": a data row has no tag");
        else if (!tags.insert(row.tag).second)
            registrationFaults().push_back(function + ": the data tag \"" + row.tag + "\" is used twice");
    }
    if (rows.empty())
        registrationFaults().push_back(function + ": no data rows");
    for (const TestFunction& existing : registry())
        if (existing.name == function)
            registrationFaults().push_back(function + ": the test function is registered twice");
    registry().push_back({std::move(function), std::move(rows), isolation});
}

int runAll()
{
    print("********* Start testing of quorvel_win_tests *********");
    int passed = 0;
    int failed = 0;
    for (const std::string& fault : registrationFaults()) {
        print("FAIL!  : registration " + fault);
        ++failed;
    }
    for (const TestFunction& function : registry()) {
        for (const Row& row : function.rows) {
            const bool ok = function.isolation == Isolation::FreshProcess ? runRowInFreshProcess(function, row)
                                                                          : runRow(function, row, false);
            ok ? ++passed : ++failed;
        }
    }
    print("Totals: " + std::to_string(passed) + " passed, " + std::to_string(failed) + " failed");
    print("********* Finished testing of quorvel_win_tests *********");
    // The plain closing line that test drivers read.
    print(std::to_string(passed) + " passed, " + std::to_string(failed) + " failed");
    return failed;
}

int runOne(std::string_view function, std::string_view tag)
{
    for (const TestFunction& candidate : registry()) {
        if (candidate.name != function)
            continue;
        for (const Row& row : candidate.rows)
            if (row.tag == tag)
                return runRow(candidate, row, true) ? 0 : 1;
    }
    print("FAIL!  : no data row " + std::string(function) + "(" + std::string(tag) + ")");
    return 1;
}

void fail(std::string message, const char* file, int line)
{
    throw Failure{std::move(message), file, line};
}

std::string describe(const std::string& bytes)
{
    // Printable ASCII as it is, everything else as hex, so that a CP932
    // mismatch shows which byte differs.
    std::string out = "\"";
    static const char digits[] = "0123456789ABCDEF";
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        if (b >= 0x20 && b < 0x7F && b != '\\' && b != '"') {
            out += c;
        } else {
            out += "\\x";
            out += digits[b >> 4];
            out += digits[b & 0xF];
        }
    }
    out += "\" (" + std::to_string(bytes.size()) + " bytes)";
    return out;
}

std::string describe(const std::u16string& text)
{
    std::string out = "u\"";
    static const char digits[] = "0123456789ABCDEF";
    for (const char16_t c : text) {
        if (c >= 0x20 && c < 0x7F && c != u'\\' && c != u'"') {
            out += static_cast<char>(c);
        } else {
            out += "\\u";
            for (int shift = 12; shift >= 0; shift -= 4)
                out += digits[(c >> shift) & 0xF];
        }
    }
    out += "\" (" + std::to_string(text.size()) + " units)";
    return out;
}

std::string describe(std::int64_t value) { return std::to_string(value); }
std::string describe(std::uint64_t value) { return std::to_string(value); }
std::string describe(bool value) { return value ? "true" : "false"; }

} // namespace wintest
