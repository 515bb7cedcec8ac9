// The starter kit: what an end user downloads first. A tar.gz holding one
// folder with the updater, its skins, the server list, the release key, an
// icon and the scripts that install it for the user and remove it again.
#pragma once
#include "platform/Classes.h"

struct TKitOptions {
    AnsiString ServersFile;  // lines "name host port time-out user", "end" last
    AnsiString KeyFile;      // update.pub; empty: the updater takes unsigned lists
    // With a key: the published folder of the current release, whose signed
    // serial the kit records (update.serial), so that not even the first
    // start takes an older release served as new.
    AnsiString ReleaseFolder;
    AnsiString Name = "skiff-client";  // the folder's name, and the menu entry's file name
    // The menu entry's name as players read it (UTF-8; empty: Name), and
    // its translations for Traditional and Simplified Chinese desktops.
    AnsiString Title, TitleZhTW, TitleZhCN;
    bool Unattended = false;  // the menu entry starts the updater with --unattended
    // The code page of the server names in isp0.dat: the release's (its
    // update3.dat header, with ReleaseFolder), else this, else the system's.
    int CodePage = 0;
    AnsiString IconFile;     // PNG; empty: the updater's own icon
    AnsiString Output;       // OUT.tar.gz
    // Where the updater, upimg/ and the kit scripts are; empty: found beside
    // this program (a build tree) or in its installed places.
    AnsiString ToolFolder;
};

// Raises Exception naming the problem; the output is written whole or not at all.
void MakeKit(const TKitOptions& options);

// The server list (UTF-8) as isp0.dat wants it: names in `codePage`, CRLF
// lines, "end" last; raises Exception naming each damaged line and why.
AnsiString ServerListForKit(const AnsiString& text, int codePage);

// A name usable as a folder and in a menu entry's file name.
bool IsKitName(const AnsiString& name);
