#include "Gauges.h"

#include <FL/Fl.H>
#include <FL/Fl_Widget.H>

#include <cmath>
#include <cstdio>

#include "platform/Display.h"

uint32_t RgbOf(TColor c) { return ((c & 0xFF) << 16) | (c & 0xFF00) | ((c >> 16) & 0xFF); }

void TBltBitmap::MakeLike(const TBltBitmap& other) {
    SetSize(other.Width, other.Height);
    Fill(clWindowFrame);
}

void TBltBitmap::FillRect(int l, int t, int r, int b, TColor c) {
    uint32_t rgb = RgbOf(c);
    l = std::max(l, 0), t = std::max(t, 0), r = std::min(r, Width), b = std::min(b, Height);
    for (int y = t; y < b; ++y)
        for (int x = l; x < r; ++x) Pixels[static_cast<size_t>(y) * Width + x] = rgb;
}

void TBltBitmap::XorWith(const TBltBitmap& other) {
    for (size_t i = 0; i < Pixels.size() && i < other.Pixels.size(); ++i) Pixels[i] ^= other.Pixels[i];
}

namespace {

const char* PercentText(int percent, char* buf, size_t size) {
    snprintf(buf, size, "%d%%", percent);
    return buf;
}

// The percentage in white on black; the grey levels of smoothed glyph
// edges are kept.
std::vector<uint8_t> TextMaskOf(const TGauge& g) {
    if (!DisplayOpen()) return {};
    char text[16];
    PercentText(g.Percent(), text, sizeof text);
    TFont font = g.Font;
    font.Height = std::max(font.Height, 1);
    int tw, th, x, y;
    MeasureText(text, font, tw, th);
    g.TextOrigin(tw, th, x, y);
    return RenderTextMask(text, FlFontOf(font.Name), font.Height, g.Width(), g.Height(), x, y);
}

class GaugeWidget : public Fl_Widget {
public:
    explicit GaugeWidget(TGauge* gauge) : Fl_Widget(0, 0, 0, 0), FGauge(gauge) { box(FL_NO_BOX); }
    void draw() override {
        TBltBitmap picture;
        FGauge->Render(picture, FGauge->ShowText() ? TextMaskOf(*FGauge) : std::vector<uint8_t>());
        std::vector<uchar> rgb(picture.Pixels.size() * 3);
        for (size_t i = 0; i < picture.Pixels.size(); ++i) {
            uint32_t p = picture.Pixels[i];
            rgb[i * 3] = p >> 16, rgb[i * 3 + 1] = (p >> 8) & 0xFF, rgb[i * 3 + 2] = p & 0xFF;
        }
        if (picture.Width > 0 && picture.Height > 0)
            DrawRgb(rgb.data(), x(), y(), picture.Width, picture.Height);
    }
private:
    TGauge* FGauge;
};

}  // namespace

TGauge::TGauge(TComponent* AOwner, TForm* parent) : TControl(AOwner, parent, new GaugeWidget(this)) {
    SetBounds(Left(), Top(), 100, 100);
}

void TGauge::Invalidate() {
    ++FRepaints;
    Repaint();
}

void TGauge::SetKind(TGaugeKind v) { if (v != FKind) { FKind = v; Invalidate(); } }
void TGauge::SetForeColor(TColor v) { if (v != FForeColor) { FForeColor = v; Invalidate(); } }
void TGauge::SetBackColor(TColor v) { if (v != FBackColor) { FBackColor = v; Invalidate(); } }
void TGauge::SetShowText(bool v) { if (v != FShowText) { FShowText = v; Invalidate(); } }
void TGauge::SetBorderStyle(TBorderStyle v) { if (v != FBorderStyle) { FBorderStyle = v; Invalidate(); } }

static AnsiString RangeMessage(int64_t lo, int64_t hi) {
    char buf[96];
    snprintf(buf, sizeof buf, "Value must be between %lld and %lld", static_cast<long long>(lo),
             static_cast<long long>(hi));
    return buf;
}

void TGauge::SetMinValue(int v) {
    if (v == FMinValue) return;
    if (v > FMaxValue && !Loading())
        throw EInvalidOperation(RangeMessage(-2147483647, static_cast<int64_t>(FMaxValue) - 1));
    FMinValue = v;
    if (FProgress < v) FProgress = v;
    Invalidate();
}

void TGauge::SetMaxValue(int v) {
    if (v == FMaxValue) return;
    if (v < FMinValue && !Loading())
        throw EInvalidOperation(RangeMessage(static_cast<int64_t>(FMinValue) + 1, 2147483647));
    FMaxValue = v;
    if (FProgress > v) FProgress = v;
    Invalidate();
}

void TGauge::SetProgress(int v) {
    if (v < FMinValue) v = FMinValue;
    else if (v > FMaxValue) v = FMaxValue;
    if (v == FProgress) return;
    int before = Percent();
    FProgress = v;
    if (Percent() != before) Invalidate();
}

int TGauge::Percent() const {
    int64_t span = static_cast<int64_t>(FMaxValue) - FMinValue;
    if (span == 0) return 0;
    return static_cast<int>(std::trunc(static_cast<double>(static_cast<int64_t>(FProgress) - FMinValue) * 100.0 /
                                       static_cast<double>(span)));
}

void TGauge::PaintArea(int& l, int& t, int& r, int& b) const {
    l = 0, t = 0, r = Width() - 1, b = Height() - 1;
    if (FBorderStyle == bsSingle) ++l, ++t, --r, --b;
}

void TGauge::TextOrigin(int textWidth, int textHeight, int& x, int& y) const {
    int l, t, r, b;
    PaintArea(l, t, r, b);
    x = (r - l + 1 - textWidth) / 2;
    y = (b - t + 1 - textHeight) / 2;
}

void TGauge::Render(TBltBitmap& out, const std::vector<uint8_t>& textMask) const {
    out.SetSize(Width(), Height());
    out.Fill(clBlack);
    int l, t, r, b;
    PaintArea(l, t, r, b);
    int W = r - l + 1, H = b - t + 1;
    TBltBitmap overlay;
    overlay.MakeLike(out);
    overlay.Fill(clBlack);
    const double pct = Percent() * 0.01;
    switch (FKind) {
        case gkText:
            overlay.FillRect(l, t, r + 1, b + 1, FBackColor);
            break;
        case gkHorizontalBar: {
            overlay.FillRect(l, t, r + 1, b + 1, FBackColor);
            int fill = std::min(static_cast<int>(W * pct), W);
            // The far corner is the lengths used as coordinates, as it always was.
            if (fill >= 1) overlay.FillRect(l, t, fill, H, FForeColor);
            break;
        }
        case gkVerticalBar: {
            overlay.FillRect(l, t, r + 1, b + 1, FBackColor);
            int fill = static_cast<int>(H * pct);
            if (fill >= H) fill = H - 1;
            if (fill >= 1) overlay.FillRect(l, H - fill, W, H, FForeColor);
            break;
        }
        case gkPie: case gkNeedle: {
            overlay.FillRect(l, t, r + 1, b + 1, Color);
            bool pie = FKind == gkPie;
            // Pie: a full ellipse, the sector runs clockwise from twelve o'clock.
            // Needle: the upper half of an ellipse standing on the paint area's
            // base, the needle sweeping from left (0 %) to right (100 %).
            double cx = (l + r) / 2.0, cy = pie ? (t + b) / 2.0 : b;
            double rx = W / 2.0, ry = pie ? H / 2.0 : H;
            double sweep = pct * (pie ? 2 * M_PI : M_PI);
            uint32_t fore = RgbOf(FForeColor), back = RgbOf(FBackColor);
            for (int y = t; y <= b; ++y) {
                for (int x = l; x <= r; ++x) {
                    double dx = (x + 0.5 - cx) / rx, dy = (y + 0.5 - cy) / ry;
                    double d = dx * dx + dy * dy;
                    if (d > 1.0 || (!pie && y + 0.5 > cy)) continue;
                    double edge = 1.0 - 2.0 / std::min(rx, ry);
                    uint32_t c = back;
                    if (d >= edge * edge) c = fore;
                    else if (pie) {
                        double a = std::atan2(dx, -dy);
                        if (a < 0) a += 2 * M_PI;
                        if (a < sweep) c = fore;
                    }
                    overlay.SetPixel(x, y, c);
                }
            }
            if (!pie) {
                double angle = M_PI - sweep, len = std::min(rx, ry) - 1;
                for (double s = 0; s <= len; s += 0.5)
                    overlay.SetPixel(static_cast<int>(cx + s * std::cos(angle)),
                                     static_cast<int>(cy - 1 - s * std::sin(angle) * ry / std::min(rx, ry)), fore);
            }
            break;
        }
    }
    out.XorWith(overlay);
    if (FShowText && textMask.size() == out.Pixels.size()) {
        for (int y = t; y <= b; ++y) {
            for (int x = l; x <= r; ++x) {
                uint32_t g = textMask[static_cast<size_t>(y) * out.Width + x];
                out.Pixels[static_cast<size_t>(y) * out.Width + x] ^= (g << 16) | (g << 8) | g;
            }
        }
    }
}
