#include "Unit2.h"

#include "ServerOrder.h"

#include "release/LineFields.h"
#include "Pictures.h"
#include "Texts.h"
#include "Unit1.h"
#include "platform/FileSystem.h"
#include "platform/System.h"

TForm2* Form2 = nullptr;

TForm2::TForm2(TComponent* AOwner) : TForm(AOwner) {
    using namespace std::placeholders;
    SetCaption("");
    // Bottom to top, so that in the visible set the confirm picture covers
    // its pressed look and the list lies above all pictures.
    Image0c = new TImage(this, this);
    Image0s = new TImage(this, this);
    Image2c = new TImage(this, this);
    Image2s = new TImage(this, this);
    Image1c = new TImage(this, this);
    Image1s = new TImage(this, this);
    struct { TImage* image; const uint8_t* data; size_t size; const char* name; } pictures[] = {
        {Image0c, kDialogBackgroundC, kDialogBackgroundC_size, "dialog background"},
        {Image0s, kDialogBackgroundS, kDialogBackgroundS_size, "dialog background"},
        {Image2c, kDialogPressedC, kDialogPressedC_size, "dialog confirm, pressed"},
        {Image2s, kDialogPressedS, kDialogPressedS_size, "dialog confirm, pressed"},
        {Image1c, kDialogConfirmC, kDialogConfirmC_size, "dialog confirm"},
        {Image1s, kDialogConfirmS, kDialogConfirmS_size, "dialog confirm"}};
    for (auto& p : pictures) {
        p.image->SetAutoSize(true);
        p.image->LoadFromJpeg(p.data, p.size, p.name);
    }
    ListBox1 = new TListBox(this, this);
    TFont font;
    font.Name = kFontMing;
    font.Height = 16;
    ListBox1->SetFont(font);
    ListBox2 = new TListBox(this, this);
    ListBox2->Hide();
    ListBox3 = new TListBox(this, this);
    ListBox3->Hide();
    Image1c->OnMouseDown = std::bind(&TForm2::Image1cMouseDown, this, _1, _2, _3, _4, _5);
    Image1s->OnMouseDown = std::bind(&TForm2::Image1sMouseDown, this, _1, _2, _3, _4, _5);
    OnCreate = std::bind(&TForm2::FormCreate, this, _1);
    OnShow = std::bind(&TForm2::FormShow, this, _1);
    // The dialog has no close box, and Escape must not confirm the choice:
    // it ends only through its confirm picture.
    OnCloseButton = [](TObject*) {};
    DoCreate();
}

void TForm2::FormCreate(TObject*) {
    SetWidth(408);
    SetHeight(437);
    for (TImage* i : {Image0c, Image0s}) i->SetBounds(0, 0, i->Width(), i->Height());
    for (TImage* i : {Image2c, Image2s, Image1c, Image1s}) i->SetBounds(144, 352, i->Width(), i->Height());
    ListBox1->SetBounds(54, 88, 293, 249);
    LanguageMode = GetLanguageMode()[0];
    if (LanguageMode == 's') {
        Image0c->Hide(), Image1c->Hide(), Image2c->Hide();
    } else {
        Image0s->Hide(), Image1s->Hide(), Image2s->Hide();
    }
    AppFolder = ApplicationFolder();
    try {
        ListBox2->Items.LoadFromFile(AppFolder + "isp0.dat");
    } catch (const EInOutError&) {
        ServerListMissing = true;
        ServerListError = Localized(TText::ServerListUnreadable, LanguageMode, ShownPath(AppFolder + "isp0.dat"));
    }
    for (int i = 0; i + 1 < ListBox2->Items.Count(); ++i) ListBox1->Items.Add(GetField(1, ListBox2->Items[i]));
    ListBox1->Items.Add("Other");
    const int selected = SavedServerChoice(AppFolder, ListBox1->Items.Count());
    ListBox1->SetItemIndex(selected);
}

void TForm2::FormShow(TObject*) {
    if (!Form1) return;
    SetLeft(Form1->Left() + 100);
    SetTop(Form1->Top());
}

void TForm2::Confirm(TImage* clicked) {
    clicked->Hide();
    try {
        WriteWholeFileAtomic(AppFolder + "isp1.dat", IntToStr(ListBox1->ItemIndex()) + "\r\n");
    } catch (const Exception&) {
        // The choice is only a preference; the dialog closes all the same.
    }
    Close();
}

void TForm2::Image1cMouseDown(TObject* Sender, TMouseButton, TShiftState, int, int) {
    Confirm(static_cast<TImage*>(Sender));
}
void TForm2::Image1sMouseDown(TObject* Sender, TMouseButton, TShiftState, int, int) {
    Confirm(static_cast<TImage*>(Sender));
}
