// TForm2, the server choice dialog: the servers of isp0.dat plus "Other",
// preselected from isp1.dat; the confirm picture saves the choice and closes
// the dialog.
#pragma once
#include "platform/Controls.h"

class TForm2 : public TForm {
public:
    explicit TForm2(TComponent* AOwner);

    TImage *Image0c, *Image0s, *Image2c, *Image2s, *Image1c, *Image1s;
    TListBox *ListBox1, *ListBox2, *ListBox3;
    char LanguageMode = 'n';
    AnsiString AppFolder;
    // isp0.dat could not be read: the sequence reports this instead of asking.
    bool ServerListMissing = false;
    AnsiString ServerListError;

    void FormCreate(TObject* Sender);
    void FormShow(TObject* Sender);
    void Image1cMouseDown(TObject* Sender, TMouseButton, TShiftState, int, int);
    void Image1sMouseDown(TObject* Sender, TMouseButton, TShiftState, int, int);

private:
    void Confirm(TImage* clicked);
};

extern TForm2* Form2;
