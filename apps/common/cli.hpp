// What the companion programs share in parsing their options with CLI11:
// the same conventions (a repeated option takes its last value, -h/--help
// and --version), value checks whose messages name what was expected, and
// one line "PROGRAM: why" with status 2 for anything refused.
#pragma once

#include <CLI/CLI.hpp>
#include <cstdio>
#include <string>

#include "common/parse.hpp"
#include "util/version.hpp"

namespace beacon::cli {

// A value must convert to T the way CLI11 converts it; the message names
// what was expected rather than the C++ type.
template <typename T>
CLI::Validator converts_to(const char* expected) {
    return CLI::Validator(
        [expected](std::string& text) {
            std::string copy = text;
            if (CLI::TypeValidator<T>()(copy).empty()) return std::string();
            return "'" + text + "' is not " + expected;
        },
        "");
}

// An app with the programs' conventions.
inline void configure(CLI::App& app, const char* program, const char* footer) {
    app.footer(footer);
    app.allow_extras();
    // Scripts append overrides: a repeated option takes its last value.
    app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    app.set_version_flag("--version", std::string(program) + " " + VERSION,
                         "Print the version and exit");
    app.set_help_flag("-h,--help", "Print this help and exit");
}

// Arguments that no option took: the first is reported. Returns whether
// there was one.
inline bool report_extras(const CLI::App& app, const char* program, std::FILE* err) {
    bool options_ended = false;  // after "--" everything is an argument
    for (const std::string& arg : app.remaining()) {
        if (arg == "--" && !options_ended) {
            options_ended = true;
            continue;
        }
        if (!options_ended && arg.size() > 1 && arg[0] == '-')
            std::fprintf(err, "%s: unknown option '%s' (see --help)\n", program, arg.c_str());
        else
            std::fprintf(err, "%s: unexpected extra argument '%s'\n", program, arg.c_str());
        return true;
    }
    return false;
}

// Parses argv. Returns PARSE_CONTINUE, or the exit status after help or the
// version (0, on `out`) or an error (2, one line on `err`). A missing
// required argument is reported as `missing` unless an unknown option, which
// explains more, hid it.
inline int parse(CLI::App& app, int argc, const char* const* argv, const char* program,
                 const char* missing, std::FILE* out, std::FILE* err) {
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        std::fputs(app.help().c_str(), out);
        return 0;
    } catch (const CLI::CallForVersion& e) {
        std::fprintf(out, "%s\n", e.what());
        return 0;
    } catch (const CLI::RequiredError& e) {
        if (report_extras(app, program, err)) return 2;
        std::fprintf(err, "%s: %s\n", program, missing != nullptr ? missing : e.what());
        return 2;
    } catch (const CLI::ParseError& e) {
        std::fprintf(err, "%s: %s\n", program, e.what());
        return 2;
    }
    return report_extras(app, program, err) ? 2 : PARSE_CONTINUE;
}

}  // namespace beacon::cli
