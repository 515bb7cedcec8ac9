// What getopt_long found wrong, in words that name the option; for programs
// that set opterr = 0 and say it themselves.
#pragma once
#include "Classes.h"

// `c` is what getopt_long returned (':' or '?', with ':' first in its
// option string) and argv[optind - 1] the word it stopped at.
AnsiString OptionMistake(int c, char** argv);
