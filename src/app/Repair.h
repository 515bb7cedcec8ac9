// Signed mode trusts what is installed only as far as it has checked it:
// an entry whose installed bytes are not those the signed list names
// (missing, of another size, another SHA-256) is planned again, whatever
// update2.dat says of its version. Checking stays cheap through a record
// beside update2.dat (update2.sums): each installed file's size, change
// time (which no program can set back) and SHA-256, so only what changed
// since is hashed again; and which
// files each pack installed, since the list names only the pack.
#pragma once
#include <functional>
#include <map>
#include <vector>

#include "UpdatePlan.h"
#include "release/UpdateEntry.h"

constexpr char kInstalledRecordFile[] = "update2.sums";

class TInstalledRecord {
public:
    // Reads update2.sums of `appFolder` (a damaged or missing record is an
    // empty one: everything is hashed again). With `trust` false the record
    // is ignored for this start (--repair).
    TInstalledRecord(const AnsiString& appFolder, bool trust);
    // The SHA-256 of the installed file `local`, from the record while its
    // size and change time are those recorded; "" when it is missing or not
    // a regular file. `pump` runs between blocks of a long hash; when it
    // returns false the hash is given up ("").
    AnsiString Sha256Of(const AnsiString& local, const std::function<bool()>& pump = {});
    // After an install: the file is now these bytes (checked by the run).
    void NoteInstalled(const AnsiString& local, const AnsiString& sha256);
    // The members that the pack `local` installed; false when unrecorded.
    bool PackMembers(const AnsiString& local, std::vector<AnsiString>& members) const;
    void NotePackMembers(const AnsiString& local, const std::vector<AnsiString>& members);
    void Save();  // atomically, when something changed

private:
    struct TFileRecord {
        AnsiString Local, Sha256;
        int64_t Size = 0, ChangeTime = 0, Inode = 0;  // a file put in place anew changes all of them
    };
    AnsiString FFolder;
    std::map<AnsiString, TFileRecord> FFiles;                  // by lower-cased local name
    std::map<AnsiString, std::vector<AnsiString>> FPacks;      // by lower-cased pack name
    bool FChanged = false;
};

// Whether what entry `e` installs is in place as its signed list names it.
// Entries of older lists, which give no installed SHA-256, count as in
// place, except plain files (their served bytes are the installed ones) and
// packs, whose members are known only once this updater installed them.
bool IsInstalledAsListed(const TUpdateEntry& e, TInstalledRecord& record, const std::function<bool()>& pump = {});

// Adds to `plan` a changed-file entry for every entry of `remote` that the
// version plan left out and whose installed bytes are not the list's.
void PlanRepairs(const std::vector<AnsiString>& remote, const std::vector<AnsiString>& installed,
                 TInstalledRecord& record, TUpdatePlan& plan, const std::function<bool()>& pump = {});
