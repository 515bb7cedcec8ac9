#include "CommandLine.h"

#include <getopt.h>

AnsiString OptionMistake(int c, char** argv) {
    AnsiString word = argv[optind - 1];
    if (c == ':') return "option '" + word + "' needs a value";
    // "--name=value" for an option that takes none: getopt_long sets optopt.
    size_t eq = word.find('=');
    if (optopt != 0 && word.compare(0, 2, "--") == 0 && eq != AnsiString::npos)
        return "option '" + word.substr(0, eq) + "' takes no value";
    if (optopt != 0 && word.compare(0, 2, "--") != 0) return "unknown option '-" + AnsiString(1, static_cast<char>(optopt)) + "'";
    return "unknown option '" + word + "'";
}
