#include "Rsock.h"

namespace {

struct ErrorRow {
    int number;
    const char* text;
};

const ErrorRow kErrorTable[] = {
    {10004, "Interrupted system call"}, {10009, "Bad file number"},
    {10013, "Permission denied"}, {10014, "Bad address"},
    {10022, "Invalid argument"}, {10024, "Too many open files"},
    {10035, "Operation would block"}, {10036, "Operation now in progress"},
    {10037, "Operation already in progress"}, {10038, "Socket operation on non-socket"},
    {10039, "Destination address required"}, {10040, "Message too long"},
    {10041, "Wrong protocol type for socket"}, {10042, "Bad protocol option"},
    {10043, "Protocol not supported"}, {10044, "Socket type not supported"},
    {10045, "Operation not supported on socket"}, {10046, "Protocol family not supported"},
    {10047, "Address family not supported by protocol family"}, {10048, "Address already in use"},
    {10049, "Can't assign requested address"}, {10050, "Network is down"},
    {10051, "Network is unreachable"}, {10052, "Network dropped connection or reset"},
    {10053, "Software caused connection abort"}, {10054, "Connection reset by peer"},
    {10055, "No buffer space available"}, {10056, "Socket is already connected"},
    {10057, "Socket is not connected"}, {10058, "Can't send after socket shutdown"},
    {10059, "Too many references, can't splice"}, {10060, "Connection timed out"},
    {10061, "Connection refused"}, {10062, "Too many levels of symbolic links"},
    {10063, "File name too long"}, {10064, "Host is down"},
    {10065, "No route to Host"}, {10066, "Directory not empty"},
    {10067, "Too many processes"}, {10068, "Too many users"},
    {10069, "Disc quota exceeded"}, {10070, "Stale NFS file handle"},
    {10071, "Too many levels of remote in path"}, {10091, "Network subsystem is unavailable"},
    {10092, "Incompatible version of WINSOCK.DLL"}, {10093, "Successful WSAStartup not yet performed"},
    {11001, "Host not found"}, {11002, "Non-Authoritative Host not found"},
    {11003, "Non-Recoverable error: FORMERR, REFUSED, NOTIMP"},
    {11004, "Valid name, no data record of requested type"},
    {0, "Unrecognized error code"},
};

}  // namespace

TRimsock::~TRimsock() {
    ReportStatus(8, "Destroy");
    // A descendant's destructor has already run: this is the base's Abort.
    TRimsock::Abort();
    BeingDestroyed = true;
}

void TRimsock::ReportStatus(int Level, const AnsiString& Text) {
    try {
        if (Level <= ReportLevel) {
            LastStatus = Text;
            if (!BeingDestroyed && OnStatus) OnStatus(this, LastStatus);
        }
    } catch (...) {
    }
}

int TRimsock::EffectiveTimeOut() const {
    if (TimeOut > 0 && IdleTimeOut > 0) return TimeOut < IdleTimeOut ? TimeOut : IdleTimeOut;
    return TimeOut > 0 ? TimeOut : (IdleTimeOut > 0 ? IdleTimeOut : 0);
}

void TRimsock::CheckConnection() {
    ReportStatus(8, "Checking Connection");
    bool firstPass = true;
    while (!Connected) {
        if (firstPass && OnConnectionRequired) {
            firstPass = false;
            bool handled = false;
            OnConnectionRequired(handled);
            if (handled) continue;
        }
        throw Exception("Not Connected");
    }
}

void TRimsock::Cancel() {
    ReportStatus(8, "Canceling");
    Canceled = true;
}

void TRimsock::Abort() {
    ReportStatus(8, "Abort");
    Cancel();
}

void TRimsock::ErrorMessage(int E, AnsiString& Text) {
    ReportStatus(8, "Looking Up Error Message" + Text);
    Text.clear();
    if (E == 0) return;
    for (const ErrorRow& row : kErrorTable) {
        if (row.number == 0) break;
        if (row.number == E) {
            Text = IntToStr(E) + ":" + row.text;
            return;
        }
    }
    Text = "Unknown Error No. " + IntToStr(E);
}
