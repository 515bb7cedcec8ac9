// The few calls that need the X display itself, kept out of the headers that
// the rest includes (Xlib's names clash with the class library's).
#pragma once
#include <cstdint>
#include <vector>

#include "Classes.h"

void OpenDisplay();
// Loads the font configuration on a helper thread, so that it overlaps with
// connecting to the display instead of following it; OpenDisplay waits for
// it, so no text is measured or drawn while it runs.
void PrepareFontsInBackground();
bool DisplayOpen();
// `utf8` drawn in white on black at (x, y) (top left of the text cell) into a
// w x h picture, in font `font` of `size`; one grey level per pixel, glyph
// edges smoothed. Empty when no display is open.
std::vector<uint8_t> RenderTextMask(const AnsiString& utf8, int font, int size, int w, int h, int x, int y);
// Reads back w x h RGB pixels of a shown window's client area (for tests).
std::vector<uint8_t> ReadWindowPixels(void* flWindow, int x, int y, int w, int h);

// Text in one face: drawn with its cell's top at (x, y), and measured.
void DrawUtf8(const AnsiString& utf8, int font, int size, unsigned flColor, int x, int y, int clipX,
              int clipY, int clipW, int clipH);
void MeasureUtf8(const AnsiString& utf8, int font, int size, int& width, int& height);
// w x h RGB pixels drawn at (x, y) of the current window.
void DrawRgb(const uint8_t* rgb, int x, int y, int w, int h);
