#include "Display.h"

#include <FL/Fl.H>
#include <FL/Fl_Window.H>
#include <FL/fl_draw.H>
#include <FL/x.H>
#include <fontconfig/fontconfig.h>

#include <chrono>
#include <cstdlib>
#include <thread>

namespace {
std::thread gFontWarmUp;

// The font configuration is shared with the UI thread from the first text
// on: the warm-up is over before the display is handed to the windows.
void FontsReady() {
    if (gFontWarmUp.joinable()) gFontWarmUp.join();
}
}  // namespace

// An X server that is busy right now may refuse a connection for a moment;
// try for about a second before giving up with FLTK's own message.
void OpenDisplay() {
    if (fl_display) return FontsReady();
    for (int attempt = 0; attempt < 20; ++attempt) {
        if (Display* d = XOpenDisplay(nullptr)) {
            fl_open_display(d);
            return FontsReady();
        }
        if (!getenv("DISPLAY") || !*getenv("DISPLAY")) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    FontsReady();
    fl_open_display();
}

void PrepareFontsInBackground() {
    if (gFontWarmUp.joinable()) return;
    gFontWarmUp = std::thread([] {
        FcInit();
        FcPattern* p = FcNameParse(reinterpret_cast<const FcChar8*>("AR PL UMing TW"));
        FcConfigSubstitute(nullptr, p, FcMatchPattern);
        FcDefaultSubstitute(p);
        FcResult r;
        if (FcPattern* m = FcFontMatch(nullptr, p, &r)) FcPatternDestroy(m);
        FcPatternDestroy(p);
    });
}
bool DisplayOpen() { return fl_display != nullptr; }

std::vector<uint8_t> RenderTextMask(const AnsiString& utf8, int font, int size, int w, int h, int x, int y) {
    std::vector<uint8_t> mask;
    if (w <= 0 || h <= 0 || !fl_display) return mask;
    Fl_Offscreen off = fl_create_offscreen(w, h);
    fl_begin_offscreen(off);
    fl_color(FL_BLACK);
    fl_rectf(0, 0, w, h);
    fl_color(FL_WHITE);
    fl_font(static_cast<Fl_Font>(font), static_cast<Fl_Fontsize>(size));
    fl_draw(utf8.c_str(), x, y + fl_height() - fl_descent());
    uchar* rgb = fl_read_image(nullptr, 0, 0, w, h);
    fl_end_offscreen();
    fl_delete_offscreen(off);
    if (!rgb) return mask;
    mask.resize(static_cast<size_t>(w) * h);
    for (size_t i = 0; i < mask.size(); ++i) mask[i] = rgb[i * 3];
    delete[] rgb;
    return mask;
}

std::vector<uint8_t> ReadWindowPixels(void* flWindow, int x, int y, int w, int h) {
    auto* win = static_cast<Fl_Window*>(flWindow);
    std::vector<uint8_t> out;
    if (!win->shown()) return out;
    Fl::flush();
    win->make_current();
    uchar* rgb = fl_read_image(nullptr, x, y, w, h);
    if (!rgb) return out;
    out.assign(rgb, rgb + static_cast<size_t>(w) * h * 3);
    delete[] rgb;
    return out;
}

void DrawUtf8(const AnsiString& utf8, int font, int size, unsigned flColor, int x, int y, int clipX,
              int clipY, int clipW, int clipH) {
    fl_font(static_cast<Fl_Font>(font), static_cast<Fl_Fontsize>(size));
    fl_color(static_cast<Fl_Color>(flColor));
    fl_push_clip(clipX, clipY, clipW, clipH);
    fl_draw(utf8.c_str(), x, y + fl_height() - fl_descent());
    fl_pop_clip();
}

void MeasureUtf8(const AnsiString& utf8, int font, int size, int& width, int& height) {
    fl_open_display();
    fl_font(static_cast<Fl_Font>(font), static_cast<Fl_Fontsize>(size));
    width = static_cast<int>(fl_width(utf8.c_str()) + 0.5);
    height = fl_height();
}

void DrawRgb(const uint8_t* rgb, int x, int y, int w, int h) { fl_draw_image(rgb, x, y, w, h, 3); }
