// Windows and their controls on FLTK, in the shape of the class library the
// updater was designed with: a form owns its controls; controls have bounds,
// visibility, fonts and events; every text is a byte text in the display code
// page (see CodePage.h) and becomes UTF-8 only here.
#pragma once
#include <functional>
#include <memory>

#include "Classes.h"
#include "Jpeg.h"
#include "StringList.h"

class Fl_RGB_Image;
class Fl_Widget;
class Fl_Window;
class TForm;

// Colours as the class library stores them: 0x00BBGGRR.
using TColor = uint32_t;
constexpr TColor clBlack = 0x000000, clWhite = 0xFFFFFF, clYellow = 0x00FFFF, clNavy = 0x800000,
                 clBtnFace = 0xF0F0F0, clWindowFrame = 0x646464;
unsigned FlColor(TColor c);  // the FLTK colour of `c`

// Font names of the designs map to installed faces that hold Chinese glyphs.
struct TFont {
    AnsiString Name = "MS Sans Serif";
    int Height = 13;  // character cell height in pixels
    TColor Color = clBlack;
};
int FlFontOf(const AnsiString& name);  // the FLTK font index for a design font name
// The design font names (UTF-8), as the windows' designs give them.
extern const char kFontKai[];   // 標楷體
extern const char kFontMing[];  // 新細明體
// Width and height in pixels of a byte text in `font` (needs a display).
void MeasureText(const AnsiString& text, const TFont& font, int& width, int& height);

enum TMouseButton { mbLeft, mbRight, mbMiddle };
using TShiftState = unsigned;
using TMouseEvent = std::function<void(TObject* Sender, TMouseButton, TShiftState, int X, int Y)>;
using TMouseMoveEvent = std::function<void(TObject* Sender, TShiftState, int X, int Y)>;

enum TCloseAction { caNone, caHide, caFree, caMinimize };
using TCloseEvent = std::function<void(TObject* Sender, TCloseAction& Action)>;

// A control with a widget on a form. The form's window holds the widget; the
// control frees it.
class TControl : public TComponent {
public:
    TControl(TComponent* AOwner, TForm* parent, Fl_Widget* widget);
    ~TControl() override;

    int Left() const;
    int Top() const;
    int Width() const;
    int Height() const;
    void SetLeft(int v) { SetBounds(v, Top(), Width(), Height()); }
    void SetTop(int v) { SetBounds(Left(), v, Width(), Height()); }
    void SetWidth(int v) { SetBounds(Left(), Top(), v, Height()); }
    void SetHeight(int v) { SetBounds(Left(), Top(), Width(), v); }
    virtual void SetBounds(int l, int t, int w, int h);

    bool Visible() const;
    void SetVisible(bool v);
    void Show() { SetVisible(true); }
    void Hide() { SetVisible(false); }
    void Repaint();  // the control's area of the window is drawn again (soon, see Controls.cpp)

    TForm* Parent() const { return FParent; }
    Fl_Widget* Widget() const { return FWidget; }

protected:
    TForm* FParent;
    Fl_Widget* FWidget;
};

// A text label: transparent (the window shows through around the glyphs) and
// sized to its text.
class TLabel : public TControl {
public:
    TLabel(TComponent* AOwner, TForm* parent);
    AnsiString Caption() const { return FCaption; }
    void SetCaption(const AnsiString& text);
    AnsiString CaptionUtf8() const;  // what the screen shows
    TFont Font;
    void SetFont(const TFont& f);
    bool AutoSize = true;
    bool Transparent = true;

private:
    void Fit();
    AnsiString FCaption;
};

// A picture: a JPEG file or a compiled-in JPEG, sized to its picture or
// stretched to the control, with an optional transparent colour.
class TImage : public TControl {
public:
    TImage(TComponent* AOwner, TForm* parent);
    // Raise as LoadJpegFile/DecodeJpeg do; the old picture stays on failure.
    void LoadFromFile(const AnsiString& fileName);
    void LoadFromJpeg(const uint8_t* data, size_t size, const AnsiString& what);
    void SetAutoSize(bool v);
    void SetStretch(bool v);
    // Pixels of this colour let the window show through. JPEG blurs colours,
    // so near matches (every channel within 16) count too.
    void SetTransparent(bool v, TColor color = clWhite);
    const TRgbPicture& Picture() const { return FPicture; }
    AnsiString PictureName;  // the file (or compiled-in name) last loaded

    TMouseEvent OnMouseDown, OnMouseUp;
    TMouseMoveEvent OnMouseMove;
    TNotifyEvent OnClick;

    void SetBounds(int l, int t, int w, int h) override;

private:
    void Rebuild();
    TRgbPicture FPicture;
    bool FAutoSize = false, FStretch = false, FTransparent = false;
    TColor FTransparentColor = clWhite;
};

class TListBox;
// The items of a list box; every change shows at once.
class TListItems {
public:
    explicit TListItems(TListBox* box) : FBox(box) {}
    int Count() const { return FLines.Count(); }
    const AnsiString& operator[](int i) const { return FLines[i]; }
    int Add(const AnsiString& s);
    int Add(AnsiString&& s);
    void Delete(int i);
    void Clear();
    void LoadFromFile(const AnsiString& fileName);
    const TStringList& Lines() const { return FLines; }

private:
    TListBox* FBox;
    TStringList FLines;
};

class TListBox : public TControl {
public:
    TListBox(TComponent* AOwner, TForm* parent);
    TListItems Items{this};
    int ItemIndex() const;  // -1 for none
    void SetItemIndex(int i);
    // The code page of the items (0: the display code page). Lists of file
    // names show them in the code page their release declares.
    int CodePage = 0;
    TFont Font;
    void SetFont(const TFont& f);

private:
    friend class TListItems;
};

// A push button that the designs keep hidden: only its state and its click.
class TButton : public TComponent {
public:
    using TComponent::TComponent;
    bool Enabled = true;
    bool Visible = false;
    TNotifyEvent OnClick;
    void Click() { if (OnClick) OnClick(this); }
    int Left = 0, Top = 0, Width = 0, Height = 0;
    void SetBounds(int l, int t, int w, int h) { Left = l, Top = t, Width = w, Height = h; }
};

// A status bar that is never shown; it only keeps the last status text.
class TStatusBar : public TComponent {
public:
    using TComponent::TComponent;
    AnsiString SimpleText;
    bool SimplePanel = false;
    bool Visible = false;
    void SetBounds(int, int, int, int) {}
};

enum TModalResult { mrNone = 0, mrOk = 1, mrCancel = 2 };

// A top-level window of fixed size. Derived forms build their controls in
// their constructor and then call DoCreate (the create event).
class TForm : public TComponent {
public:
    explicit TForm(TComponent* AOwner);
    ~TForm() override;

    AnsiString Caption() const { return FCaption; }
    void SetCaption(const AnsiString& text);
    int Left() const;
    int Top() const;
    int Width() const;
    int Height() const;
    void SetLeft(int v);
    void SetTop(int v);
    void SetWidth(int v);
    void SetHeight(int v);
    bool Visible() const;

    void Show();
    void Hide();
    // The window class (the desktop groups windows and launchers by it) and
    // the icon; both before the window is first shown.
    void SetWindowClass(const char* name);
    void SetIcon(const TRgbPicture& picture);
    // Raises the form above the others (restoring it when minimised), and
    // keeps an open modal window above it.
    void BringToFront();
    int ShowModal();  // returns when the form closes
    // The close event decides; then a modal form ends its display, the main
    // form ends the application, any other form hides. An exception from the
    // close event is reported and the form stays open.
    void Close();
    bool Modal() const { return FModal; }

    TNotifyEvent OnCreate, OnShow, OnResize, OnDestroy;
    TCloseEvent OnClose;
    // The window manager's close button; the designs have none, so by
    // default it asks the form to Close.
    TNotifyEvent OnCloseButton;

    Fl_Window* Window() const { return FWindow; }
    void WindowResized();  // called by the window

protected:
    void DoCreate();
    // Runs the destroy event once. A derived form calls it first in its
    // destructor, while the whole derived object still exists.
    void RunDestroyHandler();

private:
    Fl_Window* FWindow;
    std::unique_ptr<Fl_RGB_Image> FIcon;
    AnsiString FCaption, FCaptionUtf8;
    bool FModal = false, FModalDone = false;
    std::shared_ptr<bool> FAlive = std::make_shared<bool>(true);
};

struct TScreen {
    int Width() const;
    int Height() const;
};
extern TScreen* Screen;

// The main form: closing it ends the application.
void SetMainForm(TForm* form);
TForm* MainForm();
