// JPEG pictures decoded to 8-bit RGB pixels with libjpeg.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "Classes.h"

struct TRgbPicture {
    int Width = 0, Height = 0;
    std::vector<uint8_t> Pixels;  // Width * Height * 3, rows top to bottom
    bool Empty() const { return Width == 0 || Height == 0; }
};

// `what` names the source in error messages (a file name, or the picture's
// name for a compiled-in one). A broken picture raises EInvalidGraphic.
TRgbPicture DecodeJpeg(const uint8_t* data, size_t size, const AnsiString& what);
// A missing or unreadable file raises EInOutError, a broken one
// EInvalidGraphic; both messages name the file.
TRgbPicture LoadJpegFile(const AnsiString& fileName);

class EInvalidGraphic : public Exception { using Exception::Exception; };
