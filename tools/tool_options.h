// The command lines of the field tools: a table of "--name" options parsed with getopt_long,
// "--help" and "-h" for the usage text, and the usage errors worded the way each tool words them.

#pragma once

#include <functional>
#include <limits>
#include <string>
#include <vector>

namespace kormlink::sim {

// One option: "--name" alone, or "--name VALUE" and "--name=VALUE" when it takes a value.
struct ToolOption {
    std::string name;  // without the leading "--"
    bool takesValue = false;
    // Takes the value ("" for a flag); returns "" when it is good, otherwise why it is not.
    std::function<std::string(const std::string& value)> take;
};

// A value any text of which is good.
inline ToolOption value(std::string name, std::function<void(const std::string&)> take) {
    return {std::move(name), true, [take = std::move(take)](const std::string& v) {
                take(v);
                return std::string();
            }};
}
inline ToolOption text(std::string name, std::string& target) {
    return value(std::move(name), [&target](const std::string& v) { target = v; });
}
inline ToolOption flag(std::string name, bool& target) {
    ToolOption o = value(std::move(name), [&target](const std::string&) { target = true; });
    o.takesValue = false;
    return o;
}

// TEXT, whole, as a number from lo to hi; false for anything else, NaN included.
bool toNumber(const std::string& text, double lo, double hi, double& out);
// "of at least LO" or "from LO to HI".
std::string rangeWords(double lo, double hi);

// A number from lo to hi, stored as target = T(number * scale).
constexpr double kAnyNumber = std::numeric_limits<double>::infinity();
template <typename T>
ToolOption number(std::string name, T& target, double lo, double hi = kAnyNumber,
                  double scale = 1) {
    return {std::move(name), true, [&target, lo, hi, scale](const std::string& v) {
                double n = 0;
                if (!toNumber(v, lo, hi, n)) return "needs a number " + rangeWords(lo, hi);
                target = static_cast<T>(n * scale);
                return std::string();
            }};
}

// How a tool words a usage error, after "<program>: ".
enum class Wording {
    kOptionLast,   // "unknown option --x", "--x needs a value", "bad value for --x: VALUE"
    kOptionFirst,  // "--x: unknown option", "--x: needs a value", "--x: <why the value is bad>"
};

struct ToolCommandLine {
    const char* program;
    const char* usage;  // on stdout for --help and -h; on stderr after a usage error
    std::vector<ToolOption> options;
    Wording wording = Wording::kOptionLast;
    bool usageAfterMissingValue = true;  // false: "--x needs a value" stands alone
};

// Parses argv[1..argc) against the table; may be called more than once in a process. Returns
// -1 to go on, 0 after the usage text was printed for --help, 2 after a usage error (told on
// stderr). Options are only taken as spelled in full; any other word is an unknown option.
int parseToolOptions(const ToolCommandLine& line, int argc, char** argv);

// "<program>: MESSAGE" and the usage text on stderr; returns 2, the status of a usage error.
int usageError(const ToolCommandLine& line, const std::string& message, bool withUsage = true);

}  // namespace kormlink::sim
