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
#include <set>
#include <unordered_map>
#include <vector>

#include "UpdatePlan.h"
#include "release/UpdateEntry.h"

constexpr char kInstalledRecordFile[] = "update2.sums";

class TInstalledRecord {
public:
    // Reads update2.sums of `appFolder` (a damaged or missing record is an
    // empty one: everything is hashed again). With `trust` false (--repair)
    // its hashes are ignored for this start: every file is hashed again, and
    // packs are judged by the members it names.
    TInstalledRecord(const AnsiString& appFolder, bool trust);
    // The SHA-256 of the installed file `local`, from the record while its
    // size and change time are those recorded; "" when it is missing or not
    // a regular file.
    AnsiString Sha256Of(const AnsiString& local);
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
    std::unordered_map<AnsiString, TFileRecord> FFiles;              // by lower-cased local name
    std::map<AnsiString, std::vector<AnsiString>> FPacks;            // by lower-cased pack name
    bool FChanged = false;
};

// Whether what entry `e` installs is in place as its signed list names it.
// Entries of older lists, which give no installed SHA-256, count as in
// place, except plain files (their served bytes are the installed ones) and
// packs, whose members are known only once this updater installed them.
bool IsInstalledAsListed(const TUpdateEntry& e, TInstalledRecord& record);

// The check of what is installed, in slices: a start with tens of thousands
// of files shows its plan at once and checks them while the window is live.
// Found gets a changed-file entry for every entry of the versions list that
// the version plan left out and whose installed bytes are not the list's.
class TRepairCheck {
public:
    // `plannedNames`: the local names the version plan brings in anyway.
    explicit TRepairCheck(std::vector<AnsiString> plannedNames) : FPlanned(std::move(plannedNames)) {}
    // Checks entries for about `seconds`, reading the same two lists each
    // time; true when every entry has been checked.
    bool Step(const std::vector<AnsiString>& remote, const std::vector<AnsiString>& installed,
              TInstalledRecord& record, double seconds);
    TUpdatePlan Found;

private:
    void Prepare(const std::vector<AnsiString>& remote, const std::vector<AnsiString>& installed);
    std::vector<AnsiString> FPlanned;
    std::set<AnsiString> FOwned;  // the player's files (see release/PlayerOwned.h)
    std::vector<std::pair<size_t, size_t>> FTodo;  // remote line, installed line
    size_t FNext = 0;
    bool FPrepared = false;
};

// The whole check at once, added to `plan` (tests and tools).
void PlanRepairs(const std::vector<AnsiString>& remote, const std::vector<AnsiString>& installed,
                 TInstalledRecord& record, TUpdatePlan& plan);
