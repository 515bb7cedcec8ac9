// The delta form of a release at work in the run (see release/DeltaFormat.h
// and DeltaInstall.h). A planned file whose index the manifest names, and
// of which this folder holds bytes to build on (its installed file, or when
// that is missing a file of its kind beside it), is made from the chunks it
// lacks instead of being downloaded whole: the manifest (once, checked
// against the size and SHA-256 of the signed header), the file's index and
// the chunk files' ranges all come through the run's transfer pool as side
// fetches, ranges of one chunk file close together in one request.
//
// Entries are asked for in list order, one at a time: Way says Pending
// while the entry's delta is being worked out (the pool gets neither it nor
// what follows it yet), Made once its new file is complete and checked
// whole against the list, Full for every entry that comes whole as ever.
// Any doubt (a manifest or index that is missing or not the header's, a
// range a mirror refuses, more bytes than the full file, a check that
// fails) makes it Full, with the reason in update.log. A made file waits
// in a temporary (removed when it goes, and by the start-up clean-up after
// a kill) until the run puts it in place; a killed run starts its delta
// over, so nothing half made is ever taken.
#pragma once
#include <functional>
#include <map>
#include <memory>

#include "TransferPool.h"
#include "platform/StringList.h"
#include "release/DeltaInstall.h"

class TDeltaEntries {
public:
    enum class TWay { Full, Pending, Made };

    TDeltaEntries(const TDeltaManifestFile& manifest, const AnsiString& appFolder, TTransferPool& pool);
    ~TDeltaEntries();
    TDeltaEntries(const TDeltaEntries&) = delete;
    TDeltaEntries& operator=(const TDeltaEntries&) = delete;

    // Entry i (parsed as `e`, one the pool may fetch) is taken up: asked
    // once per entry, in list order, and not while another is Pending.
    TWay Way(int i, const TUpdateEntry& e);
    bool Pending(int i) const { return FWork && FWork->Index == i; }
    // After Made: the new file, ready to go in place, until Forget.
    TDeltaInstall* Made(int i) const;
    // The run is done with a made entry: its listed size.
    int64_t Forget(int i);

    // Every byte the delta form brought (manifest, indexes, ranges).
    int64_t FetchedBytes() const { return FFetched; }
    // Of entries made: the bytes they cost, and the listed sizes they spared.
    int64_t MadeFetchedBytes() const { return FMadeFetched; }
    int64_t MadeListedBytes() const { return FMadeListed; }
    int64_t FetchedFor(int i) const;  // of a made entry

    // An entry's way is known (told from the loop): the pool may get more.
    std::function<void()> OnDecided;

private:
    struct TWork {
        int Index = 0;
        TUpdateEntry E;
        AnsiString Sha256;  // of the installed bytes
        AnsiString IndexBytes;
        std::unique_ptr<TDeltaInstall> Install;
        int Outstanding = 0, Requests = 1;  // the index's among them
        bool Failed = false;
        AnsiString Why;
        int64_t Fetched = 0;
    };
    struct TMade {
        std::unique_ptr<TDeltaInstall> Install;
        int64_t Fetched = 0, Listed = 0;
    };
    enum class TManifest { Unasked, Asked, Have, Failed };

    bool HasBytesToBuildOn(const TUpdateEntry& e, std::vector<AnsiString>& sources) const;
    void FetchManifest();
    void ManifestArrived(bool fetched, const AnsiString& why);
    void FetchIndex();
    void IndexArrived(bool fetched, const AnsiString& why);
    void Pump();
    void PostPump();
    void FetchRanges();
    void RangeEnded(bool fetched, const AnsiString& why);
    void Decide(bool made, const AnsiString& why);

    TDeltaManifestFile FManifestFile;
    AnsiString FAppFolder, FManifestBytes, FManifestProblem;
    TTransferPool& FPool;
    TManifest FManifestState = TManifest::Unasked;
    TDeltaManifest FManifest;
    std::unique_ptr<TWork> FWork;
    std::vector<AnsiString> FSources;  // of the entry at work, its own file first
    std::map<int, TMade> FMade;
    int FGivenUp = -1;
    int64_t FFetched = 0, FMadeFetched = 0, FMadeListed = 0;
    std::shared_ptr<bool> FAlive = std::make_shared<bool>(true);
};

// Ranges of one chunk file as few requests: neighbours always share one
// when the gap is small, and more gaps are read through (their bytes
// dropped) while a file would take more than a few requests. Each span
// covers Wanted ranges First..Last.
struct TRangeSpan {
    AnsiString Remote;
    int64_t Offset = 0, Length = 0;
    size_t First = 0, Last = 0;
};
std::vector<TRangeSpan> SpansOf(const std::vector<TByteRange>& wanted);
