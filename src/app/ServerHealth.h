// How the servers of an update run have done, so that one bad file never
// costs the others: a server that failed an entry twice is not asked for
// that entry again, but keeps serving the rest; it is left for the whole
// run only when it cannot be used at all (no connection, no login, another
// list) or has failed three different entries in a row.
#pragma once
#include <map>
#include <set>
#include <vector>

#include "platform/Classes.h"

class TServerHealth {
public:
    static constexpr int kTriesPerServerAndEntry = 2;
    static constexpr int kEntriesInARow = 3;

    // A new run: every server counts afresh.
    void Clear();
    // A new entry: its tries count afresh.
    void BeginEntry();
    // A try of the entry at hand on `server` broke. One that brought more
    // bytes than the try before is progress on a flaky link, not a failure
    // of its server, but it still was a try that did not deliver.
    void BrokenTry(const AnsiString& server, bool broughtBytes);
    // `server` refused the entry (550): asked again for another entry, not
    // for this one, and no mark against it (a mirror still being uploaded
    // lacks files it will have).
    void Refused(const AnsiString& server);
    // May `server` be asked for the entry at hand?
    bool MayAsk(const AnsiString& server) const;

    // The entry at hand was installed from `server`.
    void Delivered(const AnsiString& server);
    // The entry at hand was not installed: every server with a broken try
    // of it counts one more entry in a row. The servers that reach the
    // limit are dropped and returned, for the log.
    std::vector<AnsiString> NotInstalled();

    // Left for the rest of the run; false when it already was.
    bool Drop(const AnsiString& server);
    bool Dropped(const AnsiString& server) const { return FDropped.count(server) > 0; }

private:
    std::map<AnsiString, int> FEntryTries;  // failed tries of the entry at hand
    std::set<AnsiString> FBrokeEntry;       // servers with a broken try of it
    std::map<AnsiString, int> FInARow;      // entries failed one after another
    std::set<AnsiString> FDropped;
};
