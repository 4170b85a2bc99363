#include "tool_options.h"

#include <getopt.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace kormlink::sim {

namespace {

// getopt_long's code for the option at index i of the table: above every character.
constexpr int kFirstOption = 256;

}  // namespace

bool toNumber(const std::string& text, double lo, double hi, double& out) {
    char* end = nullptr;
    errno = 0;
    out = std::strtod(text.c_str(), &end);
    return !text.empty() && *end == '\0' && errno == 0 && out >= lo && out <= hi;
}

std::string rangeWords(double lo, double hi) {
    char words[64];
    if (std::isinf(hi))
        std::snprintf(words, sizeof words, "of at least %g", lo);
    else
        std::snprintf(words, sizeof words, "from %g to %g", lo, hi);
    return words;
}

int usageError(const ToolCommandLine& line, const std::string& message, bool withUsage) {
    std::fprintf(stderr, "%s: %s\n%s", line.program, message.c_str(), withUsage ? line.usage : "");
    return 2;
}

int parseToolOptions(const ToolCommandLine& line, int argc, char** argv) {
    std::vector<option> table;
    for (std::size_t i = 0; i < line.options.size(); ++i)
        table.push_back({line.options[i].name.c_str(),
                         line.options[i].takesValue ? required_argument : no_argument, nullptr,
                         kFirstOption + static_cast<int>(i)});
    table.push_back({"help", no_argument, nullptr, 'h'});
    table.push_back({});
    const bool optionFirst = line.wording == Wording::kOptionFirst;
    auto unknown = [&](const std::string& word) {
        return usageError(line, optionFirst ? word + ": unknown option" : "unknown option " + word);
    };

    // "-": words that are no options come back in order as code 1 (to be refused), not moved
    // to the end; ":": a missing value comes back as ':', and getopt_long prints nothing.
    optind = 0;  // GNU: start a fresh scan, also on a second call in one process
    opterr = 0;
    for (;;) {
        const int at = std::max(optind, 1);  // the word getopt_long reads next
        const int code = getopt_long(argc, argv, "-:h", table.data(), nullptr);
        // Before the end only at "--", which no tool takes.
        if (code == -1) return at < argc ? unknown(argv[at]) : -1;
        const std::string word = argv[at];
        if (code == 'h' && (word == "-h" || word == "--help")) {
            std::fputs(line.usage, stdout);
            return 0;
        }
        // Unknown words, a flag given "=VALUE", and abbreviations (getopt_long takes any
        // unambiguous prefix) are all refused as unknown options.
        const int index = (code == ':' ? optopt : code) - kFirstOption;
        if (index < 0 || word.substr(0, word.find('=')) != "--" + line.options[index].name)
            return unknown(word);
        const ToolOption& o = line.options[index];
        const std::string name = "--" + o.name;
        if (code == ':')
            return usageError(line, name + (optionFirst ? ": " : " ") + "needs a value",
                              line.usageAfterMissingValue);
        const std::string given = optarg ? optarg : "";
        if (const std::string why = o.take(given); !why.empty())
            return usageError(
                line, optionFirst ? name + ": " + why : "bad value for " + name + ": " + given);
    }
}

}  // namespace kormlink::sim
