// Every updater compares versions byte by byte ("10" comes before "9"), so
// a vendor who numbers releases 1, 2, 3 ... is stuck at 9, and one who
// mixes the default stamps with small numbers can never go back. The
// publisher checks a release's version against every earlier one before
// anything is written, where the mistake costs nothing yet.
#pragma once
#include <vector>

#include "platform/Classes.h"

// Throws with the reason and a way out when `version` does not order after
// each of `earlier` by byte order, or when byte order and numeric order
// disagree (both numbers of different widths). With no earlier version, a
// short number gets a warning in `warnings`: its width is all it can keep.
void CheckVersionOrder(const AnsiString& version, const std::vector<AnsiString>& earlier,
                       std::vector<AnsiString>& warnings);
