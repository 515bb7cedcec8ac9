// The line both programs print under their version.
#pragma once

constexpr char kCopyright[] =
    "Copyright (c) 2026 the skiff developers. MIT licence; LICENSE.txt in a kit (or\n"
    "/usr/share/doc/skiff/copyright) holds it and the notices of the libraries in the updater.";
