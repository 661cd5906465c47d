// filesearch: the agent's layer over the POSIX directory and file-status
// calls. Owns the folder search (TSearchRec with FindFirst / FindNext /
// FindClose), GetFirstMatchedFile, the path helpers ("/" is the only
// delimiter), the file predicates, GetCurrentDir and the small time and
// thread-id helpers.
//
// Threads: every function is reentrant and keeps its state in the caller's
// TSearchRec or in locals, so several threads may search at once. A
// TSearchRec belongs to one thread at a time. GetCurrentDir and searches
// with an empty folder depend on the process-wide working directory.
#pragma once

#include <dirent.h>
#include <stdint.h>
#include <sys/types.h>

#include "text/vtstring.h"

// Attribute bits of TSearchRec::Attr and of the attr argument of FindFirst.
const int attrReadOnly = 1;    // the agent process may not write the entry
const int attrHidden = 2;      // the name begins with "." and is not "." or ".."
const int attrSysFile = 4;     // neither a regular file nor a directory
const int attrVolumeId = 8;    // never set; may be requested
const int attrDirectory = 16;  // a directory, or a link to an existing one
const int attrArchive = 32;    // never set; may be requested
const int attrSymLink = 64;    // a symbolic link; never reported by a search

// One folder search and the entry it found last. Time, Size and Mode
// describe the entry itself (a link is not followed). A copy shares the
// directory stream with its source: close only one of them. The destructor
// does not close the stream; pair every successful FindFirst with FindClose.
class TSearchRec {
  public:
    TSearchRec();
    TSearchRec(const TSearchRec& other) = default;
    TSearchRec& operator=(const TSearchRec& other) = default;
    ~TSearchRec() = default;

    int32_t Time;         // modification time, seconds since the epoch
    int64_t Size;         // size in bytes
    int32_t Attr;         // attribute bits (attr* above)
    char Name[256];       // entry name, zero-terminated, cut at 255 bytes
    uint32_t Mode;        // file type and permission bits
    DIR* DirHandle;       // open stream of the search, or null
    int32_t ExcludeAttr;  // bits that disqualify an entry
    String Folder;        // the folder searched, always ending in "/"
    String Mask;          // the fnmatch pattern names must match
};

// Opens folder (empty: the working directory) and finds the first entry whose
// name matches mask (fnmatch, no flags) and whose attribute bits all lie in
// (attr & 63); symbolic links never qualify. Returns 0 with rec filled and
// the stream open in rec.DirHandle; -1 when nothing matched (the stream is
// closed again, DirHandle null); otherwise the errno of opening the folder
// (2 missing, 13 no permission) with DirHandle null. rec.Folder and rec.Mask
// are set in every case.
int FindFirst(const String& folder, const String& mask, int attr, TSearchRec& rec);
// The next qualifying entry of the search: 0 with rec filled, -1 when none is
// left or rec has no open stream. The stream stays open either way.
int FindNext(TSearchRec& rec);
// Closes the search's stream, if any, and sets DirHandle null. Harmless when
// called twice or after a failed FindFirst.
void FindClose(TSearchRec& rec);

// The folder part of path followed by the name of the first entry that is
// neither a directory nor a symbolic link and matches the (wildcard) name
// part of path, in directory order. A path without "/" is searched in the
// working directory and gives the bare name. Empty when nothing matches or
// the folder cannot be read. Leaves no stream open.
String GetFirstMatchedFile(const String& path);

// 1 when 1 <= i <= s.Length() and the byte at position i is "/", else 0.
int IsPathDelimiter(const String& s, int i);
// s with "/" appended unless it already ends in one; "" gives "/".
String IncludeTrailingPathDelimiter(const String& s);
// s without its last byte when that byte is "/" (only one is removed).
String ExcludeTrailingPathDelimiter(const String& s);
// 1-based position of the last byte of s found in the zero-terminated set
// delimiters; 0 when there is none or delimiters is null. A zero byte in s
// never counts.
int LastDelimiter(const char* delimiters, const String& s);
// The bytes of s up to and including the last "/"; "" when s has none.
String ExtractFilePath(const String& s);
// The bytes after the last "/" (all of s when it has none), at most 4095.
String ExtractFileName(const String& s);

// The predicates follow symbolic links. A null path counts as missing.
// 1 when path is an existing regular file, else 0 (a directory gives 0).
int FileExists(const char* path);
// 1 when path is an existing directory, else 0.
int DirectoryExists(const char* path);
// Opens path for reading only when it is a regular file (links followed):
// the open is non-blocking and checked again with fstat, so that a FIFO or a
// device that appears in its place never blocks or feeds the reader
// forever. Returns a close-on-exec descriptor, or -1 (errno EINVAL for an
// entry of another kind).
int OpenRegularFile(const char* path);
// Reads from fd until want bytes arrived or the file ended (a read
// interrupted by a signal is retried). Returns the count, or -1 on a read
// error.
ssize_t ReadFull(int fd, char* buf, size_t want);
// Size in bytes, -1 when the status call fails.
int64_t FileSize(const char* path);
// Modification time in seconds since the epoch, -1 when the status call fails.
long FileAge(const char* path);
// 1 when path was unlinked, else 0.
int DeleteFile(const char* path);
// The working directory without a trailing "/"; "" when it cannot be
// determined (removed, or longer than 4094 bytes).
String GetCurrentDir();

// seconds / 60, truncated toward zero.
long sec2min(long seconds);
// The current time in whole minutes since the epoch.
long now_min();
// (process id << 8) + pthread_self(): distinct for distinct live threads of
// the process; used to make temporary file names unique per thread.
long GetUniqueThreadID();
