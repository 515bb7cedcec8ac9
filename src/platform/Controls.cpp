#include "Controls.h"

#include <FL/Fl.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_Hold_Browser.H>
#include <FL/Fl_RGB_Image.H>

#include <cstdlib>
#include <map>

#include "CodePage.h"
#include "Display.h"
#include "EventLoop.h"

// ---- colours, fonts and handler calls ----

unsigned FlColor(TColor c) {
    return ((c & 0xFF) << 24) | (((c >> 8) & 0xFF) << 16) | (((c >> 16) & 0xFF) << 8);  // FLTK RGB form
}

const char kFontKai[] = "\xE6\xA8\x99\xE6\xA5\xB7\xE9\xAB\x94";
const char kFontMing[] = "\xE6\x96\xB0\xE7\xB4\xB0\xE6\x98\x8E\xE9\xAB\x94";

int FlFontOf(const AnsiString& name) {
    // FLTK draws each text with one face and has no per-glyph fallback, so
    // every face here must hold both Latin and Chinese glyphs.
    struct Face { const char* design; const char* installed; };
    static const Face kFaces[] = {
        {kFontKai, " AR PL UKai TW"},
        {kFontMing, " AR PL UMing TW"},
        {"Courier New", " AR PL UMing TW MBE"},
    };
    static std::map<AnsiString, int> assigned;
    auto it = assigned.find(name);
    if (it != assigned.end()) return it->second;
    int font = FL_HELVETICA;
    for (const Face& f : kFaces) {
        if (name == f.design) {
            font = FL_FREE_FONT + static_cast<int>(assigned.size());
            Fl::set_font(static_cast<Fl_Font>(font), f.installed);
        }
    }
    assigned[name] = font;
    return font;
}

void MeasureText(const AnsiString& text, const TFont& font, int& width, int& height) {
    MeasureUtf8(DisplayToUtf8(text), FlFontOf(font.Name), font.Height, width, height);
}

// An exception leaving a handler goes to the standard error box instead of
// unwinding through FLTK.
template <typename F>
static void CallHandler(F&& f) {
    try {
        f();
    } catch (const std::exception& e) {
        Application->HandleException(e);
    }
}

// ---- TControl ----

TControl::TControl(TComponent* AOwner, TForm* parent, Fl_Widget* widget)
    : TComponent(AOwner), FParent(parent), FWidget(widget) {
    parent->Window()->add(widget);
}

TControl::~TControl() {
    if (FWidget->parent()) FWidget->parent()->remove(FWidget);
    delete FWidget;
}

int TControl::Left() const { return FWidget->x(); }
int TControl::Top() const { return FWidget->y(); }
int TControl::Width() const { return FWidget->w(); }
int TControl::Height() const { return FWidget->h(); }

// Repaints are gathered per window and handed to FLTK at most 60 times a
// second: a run that changes labels for every small file or every packet
// would otherwise redraw far more often than anyone can see.
namespace {
struct PendingArea {
    int x1, y1, x2, y2;
};
std::map<Fl_Window*, PendingArea>& Pending() {
    static std::map<Fl_Window*, PendingArea> p;
    return p;
}
void FlushPendingAreas(void*) {
    auto areas = std::move(Pending());
    Pending().clear();
    for (auto& [win, a] : areas) win->damage(FL_DAMAGE_ALL, a.x1, a.y1, a.x2 - a.x1, a.y2 - a.y1);
}
}  // namespace

void ForgetPendingRepaints(Fl_Window* win) { Pending().erase(win); }

void TControl::Repaint() {
    Fl_Window* win = FWidget->window();
    if (!win) return;
    int x1 = FWidget->x(), y1 = FWidget->y(), x2 = x1 + FWidget->w(), y2 = y1 + FWidget->h();
    auto& pending = Pending();
    auto it = pending.find(win);
    if (it == pending.end()) {
        if (pending.empty()) Fl::add_timeout(1.0 / 60, FlushPendingAreas);
        pending[win] = {x1, y1, x2, y2};
    } else {
        PendingArea& a = it->second;
        a = {std::min(a.x1, x1), std::min(a.y1, y1), std::max(a.x2, x2), std::max(a.y2, y2)};
    }
}

void TControl::SetBounds(int l, int t, int w, int h) {
    if (l == Left() && t == Top() && w == Width() && h == Height()) return;
    Repaint();  // what lay under the old place shows again
    FWidget->resize(l, t, w, h);
    Repaint();
}

bool TControl::Visible() const { return FWidget->visible() != 0; }

void TControl::SetVisible(bool v) {
    if (v == Visible()) return;
    if (v) FWidget->show(); else FWidget->hide();
    Repaint();
}

// ---- TLabel ----

namespace {
class LabelWidget : public Fl_Widget {
public:
    explicit LabelWidget(TLabel* label) : Fl_Widget(0, 0, 0, 0), FLabel(label) { box(FL_NO_BOX); }
    void draw() override {
        DrawUtf8(FLabel->CaptionUtf8(), FlFontOf(FLabel->Font.Name), FLabel->Font.Height,
                 FlColor(FLabel->Font.Color), x(), y(), x(), y(), w(), h());
    }
private:
    TLabel* FLabel;
};
}  // namespace

TLabel::TLabel(TComponent* AOwner, TForm* parent)
    : TControl(AOwner, parent, new LabelWidget(this)) {}

AnsiString TLabel::CaptionUtf8() const { return DisplayToUtf8(FCaption); }

void TLabel::SetCaption(const AnsiString& text) {
    FCaption = text;
    Fit();
    Repaint();
}

void TLabel::SetFont(const TFont& f) {
    Font = f;
    Fit();
    Repaint();
}

void TLabel::Fit() {
    if (!AutoSize) return;
    int w, h;
    MeasureText(FCaption, Font, w, h);
    SetBounds(Left(), Top(), w, h);
}

// ---- TImage ----

namespace {
class ImageWidget : public Fl_Widget {
public:
    explicit ImageWidget(TImage* image) : Fl_Widget(0, 0, 0, 0), FImage(image) { box(FL_NO_BOX); }

    std::vector<uint8_t> pixels;
    std::unique_ptr<Fl_RGB_Image> picture;  // over `pixels`
    std::unique_ptr<Fl_Image> scaled;       // when stretched to another size

    void draw() override {
        Fl_Image* img = scaled ? scaled.get() : picture.get();
        if (img) img->draw(x(), y(), w(), h());
    }

    int handle(int event) override {
        int ex = Fl::event_x() - x(), ey = Fl::event_y() - y();
        TShiftState shift = static_cast<TShiftState>(Fl::event_state());
        switch (event) {
            case FL_PUSH: {
                TMouseButton b = ButtonOf(Fl::event_button());
                CallHandler([&] { if (FImage->OnMouseDown) FImage->OnMouseDown(FImage, b, shift, ex, ey); });
                return 1;
            }
            case FL_RELEASE: {
                TMouseButton b = ButtonOf(Fl::event_button());
                // The click comes before the mouse-up, as on the original platform.
                if (b == mbLeft && Fl::event_inside(this))
                    CallHandler([&] { if (FImage->OnClick) FImage->OnClick(FImage); });
                CallHandler([&] { if (FImage->OnMouseUp) FImage->OnMouseUp(FImage, b, shift, ex, ey); });
                return 1;
            }
            case FL_ENTER: case FL_LEAVE:
                return 1;
            case FL_MOVE: case FL_DRAG:
                CallHandler([&] { if (FImage->OnMouseMove) FImage->OnMouseMove(FImage, shift, ex, ey); });
                return 1;
            default:
                return Fl_Widget::handle(event);
        }
    }

private:
    static TMouseButton ButtonOf(int b) { return b == FL_RIGHT_MOUSE ? mbRight : b == FL_MIDDLE_MOUSE ? mbMiddle : mbLeft; }
    TImage* FImage;
};
}  // namespace

TImage::TImage(TComponent* AOwner, TForm* parent)
    : TControl(AOwner, parent, new ImageWidget(this)) {}

void TImage::LoadFromFile(const AnsiString& fileName) {
    FPicture = LoadJpegFile(fileName);
    PictureName = fileName;
    Rebuild();
}

void TImage::LoadFromJpeg(const uint8_t* data, size_t size, const AnsiString& what) {
    FPicture = DecodeJpeg(data, size, what);
    PictureName = what;
    Rebuild();
}

void TImage::SetAutoSize(bool v) { FAutoSize = v; Rebuild(); }
void TImage::SetStretch(bool v) { FStretch = v; Rebuild(); }
void TImage::SetTransparent(bool v, TColor color) {
    FTransparent = v;
    FTransparentColor = color;
    Rebuild();
}

void TImage::SetBounds(int l, int t, int w, int h) {
    bool sized = w != Width() || h != Height();
    TControl::SetBounds(l, t, w, h);
    if (sized && FStretch) Rebuild();
}

void TImage::Rebuild() {
    auto* w = static_cast<ImageWidget*>(FWidget);
    w->scaled.reset();
    w->picture.reset();
    if (FPicture.Empty()) return;
    int depth = FTransparent ? 4 : 3;
    size_t n = static_cast<size_t>(FPicture.Width) * FPicture.Height;
    w->pixels.resize(n * depth);
    const uint8_t* src = FPicture.Pixels.data();
    if (FTransparent) {
        int tr = FTransparentColor & 0xFF, tg = (FTransparentColor >> 8) & 0xFF, tb = (FTransparentColor >> 16) & 0xFF;
        for (size_t i = 0; i < n; ++i) {
            const uint8_t* p = src + i * 3;
            uint8_t* d = &w->pixels[i * 4];
            d[0] = p[0], d[1] = p[1], d[2] = p[2];
            bool clear = std::abs(p[0] - tr) <= 16 && std::abs(p[1] - tg) <= 16 && std::abs(p[2] - tb) <= 16;
            d[3] = clear ? 0 : 255;
        }
    } else {
        w->pixels.assign(src, src + n * 3);
    }
    w->picture.reset(new Fl_RGB_Image(w->pixels.data(), FPicture.Width, FPicture.Height, depth));
    if (FAutoSize) TControl::SetBounds(Left(), Top(), FPicture.Width, FPicture.Height);
    if (FStretch && Width() > 0 && Height() > 0 &&
        (Width() != FPicture.Width || Height() != FPicture.Height)) {
        Fl_RGB_Image::RGB_scaling(FL_RGB_SCALING_BILINEAR);
        w->scaled.reset(w->picture->copy(Width(), Height()));
    }
    Repaint();
}

// ---- TListBox ----

namespace {
Fl_Hold_Browser* BrowserOf(TListBox* box) { return static_cast<Fl_Hold_Browser*>(box->Widget()); }
}

int TListItems::Add(const AnsiString& s) { return Add(AnsiString(s)); }

int TListItems::Add(AnsiString&& s) {
    AnsiString shown = FBox->CodePage ? CodePageToUtf8(s, FBox->CodePage) : DisplayToUtf8(s);
    int i = FLines.Add(std::move(s));
    BrowserOf(FBox)->add(shown.c_str());
    return i;
}

void TListItems::Delete(int i) {
    FLines.Delete(i);
    BrowserOf(FBox)->remove(i + 1);
}

void TListItems::Clear() {
    FLines.Clear();
    BrowserOf(FBox)->clear();
}

void TListItems::LoadFromFile(const AnsiString& fileName) {
    TStringList lines;
    lines.LoadFromFile(fileName);
    Clear();
    for (const AnsiString& s : lines.Lines()) Add(s);
}

TListBox::TListBox(TComponent* AOwner, TForm* parent)
    : TControl(AOwner, parent, new Fl_Hold_Browser(0, 0, 0, 0)) {
    BrowserOf(this)->format_char(0);  // names are shown as they are
    BrowserOf(this)->box(FL_DOWN_BOX);
}

int TListBox::ItemIndex() const {
    return static_cast<Fl_Hold_Browser*>(FWidget)->value() - 1;
}

void TListBox::SetItemIndex(int i) {
    auto* b = BrowserOf(this);
    if (i < 0 || i >= Items.Count()) b->deselect(); else b->select(i + 1);
}

void TListBox::SetFont(const TFont& f) {
    Font = f;
    auto* b = BrowserOf(this);
    b->textfont(static_cast<Fl_Font>(FlFontOf(f.Name)));
    b->textsize(static_cast<Fl_Fontsize>(f.Height));
    b->textcolor(FlColor(f.Color));
    Repaint();
}

// ---- TForm ----

void ForgetPendingRepaints(Fl_Window* win);

namespace {
class FormWindow : public Fl_Double_Window {
public:
    explicit FormWindow(TForm* form) : Fl_Double_Window(0, 0, 100, 100), FForm(form) {
        end();
        callback(OnCloseButtonPressed, form);
    }
    void resize(int X, int Y, int W, int H) override {
        bool sized = W != w() || H != h();
        Fl_Double_Window::resize(X, Y, W, H);
        if (sized && shown()) FForm->WindowResized();
    }
private:
    static void OnCloseButtonPressed(Fl_Widget*, void* data) {
        auto* form = static_cast<TForm*>(data);
        CallHandler([&] { if (form->OnCloseButton) form->OnCloseButton(form); else form->Close(); });
    }
    TForm* FForm;
};

TForm* gMainForm = nullptr;
}  // namespace

void SetMainForm(TForm* form) { gMainForm = form; }
TForm* MainForm() { return gMainForm; }

TForm::TForm(TComponent* AOwner) : TComponent(AOwner), FWindow(new FormWindow(this)) {
    Fl_Group::current(nullptr);
}

void TForm::RunDestroyHandler() {
    if (!OnDestroy) return;
    TNotifyEvent handler = std::move(OnDestroy);
    OnDestroy = nullptr;
    CallHandler([&] { handler(this); });
}

TForm::~TForm() {
    *FAlive = false;
    ForgetPendingRepaints(FWindow);
    RunDestroyHandler();
    DestroyComponents();  // the controls release their widgets first
    if (gMainForm == this) gMainForm = nullptr;
    delete FWindow;
}

void TForm::DoCreate() {
    if (OnCreate) CallHandler([&] { OnCreate(this); });
}

void TForm::SetCaption(const AnsiString& text) {
    FCaption = text;
    FCaptionUtf8 = DisplayToUtf8(text);
    FWindow->label(FCaptionUtf8.c_str());
}

int TForm::Left() const { return FWindow->x(); }
int TForm::Top() const { return FWindow->y(); }
int TForm::Width() const { return FWindow->w(); }
int TForm::Height() const { return FWindow->h(); }
void TForm::SetLeft(int v) { FWindow->position(v, FWindow->y()); }
void TForm::SetTop(int v) { FWindow->position(FWindow->x(), v); }
void TForm::SetWidth(int v) {
    FWindow->size(v, FWindow->h());
    FWindow->size_range(v, FWindow->h(), v, FWindow->h());  // fixed size
}
void TForm::SetHeight(int v) {
    FWindow->size(FWindow->w(), v);
    FWindow->size_range(FWindow->w(), v, FWindow->w(), v);
}
bool TForm::Visible() const { return FWindow->shown() && FWindow->visible(); }

void TForm::Show() {
    if (Visible()) return;
    bool first = !FWindow->shown();
    if (OnShow) CallHandler([&] { OnShow(this); });
    FWindow->show();
    if (first) {
        // The window's first size notification comes once it is on the screen.
        std::weak_ptr<bool> alive = FAlive;
        PostTask([this, alive] {
            if (auto a = alive.lock(); a && *a) WindowResized();
        });
    }
}

void TForm::WindowResized() {
    if (OnResize) CallHandler([&] { OnResize(this); });
}

void TForm::Hide() { FWindow->hide(); }

void TForm::SetWindowClass(const char* name) { FWindow->xclass(name); }

void TForm::SetIcon(const TRgbPicture& picture) {
    if (picture.Empty()) return;
    // FLTK keeps a copy of the image it is given.
    FIcon = std::make_unique<Fl_RGB_Image>(picture.Pixels.data(), picture.Width, picture.Height, 3);
    FWindow->icon(FIcon.get());
}

void TForm::BringToFront() {
    // show() raises a shown window and brings back a minimised one.
    if (FWindow->shown()) FWindow->show();
    // A modal window (a dialog, a message box) stays above the form.
    if (Fl_Window* modal = Fl::modal(); modal && modal != FWindow) modal->show();
}

int TForm::ShowModal() {
    FModal = true;
    FModalDone = false;
    FWindow->set_modal();
    Show();
    std::weak_ptr<bool> alive = FAlive;
    while (!FModalDone && FWindow->shown() && !Application->Terminated) {
        EventLoop::WaitForEvent(1e6);
        if (alive.expired() || !*alive.lock()) return mrCancel;
    }
    FModal = false;
    FWindow->set_non_modal();
    FWindow->hide();
    return mrOk;
}

void TForm::Close() {
    TCloseAction action = caHide;
    if (OnClose) {
        try {
            OnClose(this, action);
        } catch (const std::exception& e) {
            Application->HandleException(e);
            return;  // the close does not complete
        }
    }
    if (action == caNone) return;
    if (FModal) {
        FModalDone = true;
        return;
    }
    FWindow->hide();
    if (gMainForm == this) Application->Terminate();
}

// ---- Screen ----

int TScreen::Width() const { OpenDisplay(); return Fl::w(); }
int TScreen::Height() const { OpenDisplay(); return Fl::h(); }
static TScreen gScreen;
TScreen* Screen = &gScreen;
