// TGauge: a value between a minimum and a maximum as a bar (or text, pie,
// needle) with its percentage drawn by exclusive-or, so the text stays
// readable over the filled and the empty part.
//
// All drawing happens in memory bitmaps of the control's size and reaches the
// screen in one copy. Setters do nothing when the value is unchanged, and
// Progress repaints only when the whole percentage changes.
#pragma once
#include <cstdint>
#include <vector>

#include "platform/Controls.h"

enum TGaugeKind { gkText, gkHorizontalBar, gkVerticalBar, gkPie, gkNeedle };
enum TBorderStyle { bsNone, bsSingle };

// A plain pixel bitmap (0x00RRGGBB per pixel).
class TBltBitmap {
public:
    int Width = 0, Height = 0;
    std::vector<uint32_t> Pixels;
    // Takes the other bitmap's size and fills itself with the window-frame colour.
    void MakeLike(const TBltBitmap& other);
    void SetSize(int w, int h) { Width = w, Height = h, Pixels.assign(static_cast<size_t>(w) * h, 0); }
    void Fill(TColor c) { FillRect(0, 0, Width, Height, c); }
    // Pixels x in [l, r), y in [t, b), clipped to the bitmap.
    void FillRect(int l, int t, int r, int b, TColor c);
    void SetPixel(int x, int y, uint32_t rgb) {
        if (x >= 0 && y >= 0 && x < Width && y < Height) Pixels[static_cast<size_t>(y) * Width + x] = rgb;
    }
    uint32_t Pixel(int x, int y) const { return Pixels[static_cast<size_t>(y) * Width + x]; }
    void XorWith(const TBltBitmap& other);
};
uint32_t RgbOf(TColor c);  // 0x00BBGGRR -> 0x00RRGGBB

class TGauge : public TControl {
public:
    TGauge(TComponent* AOwner, TForm* parent);

    TGaugeKind Kind() const { return FKind; }
    void SetKind(TGaugeKind v);
    int MinValue() const { return FMinValue; }
    void SetMinValue(int v);
    int MaxValue() const { return FMaxValue; }
    void SetMaxValue(int v);
    int Progress() const { return FProgress; }
    void SetProgress(int v);
    TColor ForeColor() const { return FForeColor; }
    void SetForeColor(TColor v);
    TColor BackColor() const { return FBackColor; }
    void SetBackColor(TColor v);
    bool ShowText() const { return FShowText; }
    void SetShowText(bool v);
    TBorderStyle BorderStyle() const { return FBorderStyle; }
    void SetBorderStyle(TBorderStyle v);
    TColor Color = clBtnFace;  // the control's own colour (pie and needle surround)
    TFont Font;

    int Percent() const;
    // The picture as Paint makes it; `textMask` (same size, nonzero = glyph
    // pixel) stands for the percentage drawn in white; empty means none.
    void Render(TBltBitmap& out, const std::vector<uint8_t>& textMask) const;
    // Where Paint puts the percentage text of the given size.
    void TextOrigin(int textWidth, int textHeight, int& x, int& y) const;
    int RepaintCount() const { return FRepaints; }  // for tests

private:
    void Invalidate();
    void PaintArea(int& l, int& t, int& r, int& b) const;
    TGaugeKind FKind = gkHorizontalBar;
    int FMinValue = 0, FMaxValue = 100, FProgress = 0;
    TColor FForeColor = clBlack, FBackColor = clWhite;
    bool FShowText = true;
    TBorderStyle FBorderStyle = bsSingle;
    int FRepaints = 0;
};
