#include "fs/filesearch.h"

#include <errno.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <pthread.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace {

// A zero-terminated copy of s for a C library call; "" for an empty String.
// A String that holds a zero byte cannot name a file; ok is then false.
struct CPath {
    explicit CPath(const String& s) : str(s), ok(true) {
        if (str.Length() > 0 && memchr(str.Data(), 0, str.Length()) != nullptr) ok = false;
        str.SetZero();
    }
    const char* c() const { return str.Data(); }
    String str;
    bool ok;
};

bool IsDotOrDotDot(const char* name) {
    return name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0));
}

// The attribute bits that follow from the entry's own status (taken without
// following a link) and its name; the write-access bit is added by the caller.
int TypeAttr(int dirFd, const char* name, const struct stat& st) {
    int attr = 0;
    if (S_ISDIR(st.st_mode)) {
        attr = attrDirectory;
    } else if (S_ISLNK(st.st_mode)) {
        attr = attrSymLink | attrSysFile;
        struct stat target;
        if (fstatat(dirFd, name, &target, 0) == 0 && S_ISDIR(target.st_mode)) {
            attr |= attrDirectory;
        }
    } else if (!S_ISREG(st.st_mode)) {
        attr = attrSysFile;
    }
    if (name[0] == '.' && !IsDotOrDotDot(name)) attr |= attrHidden;
    return attr;
}

// Reads entries until one matches the mask and qualifies by its attribute
// bits; fills rec and returns 0, or returns -1 at the end of the folder.
// Entries are looked at through the stream's own descriptor, so the length
// of the folder's path does not matter.
int MatchNext(TSearchRec& rec) {
    if (rec.DirHandle == nullptr) return -1;
    // Names never hold a zero byte, so a mask that does matches nothing.
    CPath mask(rec.Mask);
    if (!mask.ok) return -1;
    int dirFd = dirfd(rec.DirHandle);
    for (;;) {
        // readdir on a stream of our own is safe beside other threads'
        // streams; readdir_r is deprecated.
        struct dirent* entry = readdir(rec.DirHandle);
        if (entry == nullptr) return -1;
        const char* name = entry->d_name;
        if (fnmatch(mask.c(), name, 0) != 0) continue;

        struct stat st;
        if (fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;  // vanished
        int attr = TypeAttr(dirFd, name, st);
        if ((attr & rec.ExcludeAttr) != 0) continue;
        if (faccessat(dirFd, name, W_OK, 0) != 0) attr |= attrReadOnly;
        if ((attr & rec.ExcludeAttr) != 0) continue;

        rec.Size = st.st_size;
        rec.Attr = attr;
        rec.Mode = st.st_mode;
        size_t n = strnlen(name, sizeof(rec.Name) - 1);
        memcpy(rec.Name, name, n);
        rec.Name[n] = 0;
        rec.Time = (int32_t)st.st_mtime;
        return 0;
    }
}

// Opens the folder's stream close-on-exec. Returns the stream, or null with
// errno set.
DIR* OpenFolder(const String& folder) {
    CPath path(folder);
    if (!path.ok) {
        errno = ENOENT;
        return nullptr;
    }
    int fd = open(path.c(), O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return nullptr;
    DIR* dir = fdopendir(fd);
    if (dir == nullptr) {
        int saved = errno;
        close(fd);
        errno = saved;
    }
    return dir;
}

}  // namespace

TSearchRec::TSearchRec()
    : Time(0), Size(0), Attr(0), Name{}, Mode(0), DirHandle(nullptr), ExcludeAttr(0) {}

int FindFirst(const String& folder, const String& mask, int attr, TSearchRec& rec) {
    rec.ExcludeAttr = ~(attr & 63);
    rec.Folder = folder;
    rec.Mask = mask;
    if (rec.Folder.Length() == 0) {
        rec.Folder = GetCurrentDir();
        // Without a known path the working directory is still readable as ".".
        if (rec.Folder.Length() == 0) rec.Folder = ".";
    }
    rec.Folder = IncludeTrailingPathDelimiter(rec.Folder);

    rec.DirHandle = OpenFolder(rec.Folder);
    if (rec.DirHandle == nullptr) return errno != 0 ? errno : ENOENT;

    int result = MatchNext(rec);
    if (result != 0) FindClose(rec);
    return result;
}

int FindNext(TSearchRec& rec) { return MatchNext(rec); }

void FindClose(TSearchRec& rec) {
    if (rec.DirHandle != nullptr) {
        closedir(rec.DirHandle);
        rec.DirHandle = nullptr;
    }
}

String GetFirstMatchedFile(const String& path) {
    String mask = ExtractFileName(path);
    String folder = ExtractFilePath(path);
    TSearchRec rec;
    int result = FindFirst(folder, mask, 47, rec);
    FindClose(rec);
    if (result != 0 || (rec.Attr & attrDirectory) != 0) return String();
    return folder + rec.Name;
}

int IsPathDelimiter(const String& s, int i) {
    return (i >= 1 && i <= s.Length() && s[i] == '/') ? 1 : 0;
}

String IncludeTrailingPathDelimiter(const String& s) {
    if (s.Length() == 0) return String("/");
    if (s[s.Length()] == '/') return s;
    return s + '/';
}

String ExcludeTrailingPathDelimiter(const String& s) {
    if (s.Length() > 0 && s[s.Length()] == '/') return s.Copy(1, s.Length() - 1);
    return s;
}

int LastDelimiter(const char* delimiters, const String& s) {
    if (delimiters == nullptr) return 0;
    size_t count = strlen(delimiters);
    for (int i = s.Length(); i >= 1; i--) {
        if (memchr(delimiters, s[i], count) != nullptr) return i;
    }
    return 0;
}

String ExtractFilePath(const String& s) {
    int p = LastDelimiter("/", s);
    return p > 0 ? s.Copy(1, p) : String();
}

String ExtractFileName(const String& s) {
    const int kMaxName = 4095;
    int p = LastDelimiter("/", s);
    int count = s.Length() - p;
    if (count > kMaxName) count = kMaxName;
    if (count < 1) return String();
    return s.Copy(p + 1, count);
}

int FileExists(const char* path) {
    struct stat st;
    return (path != nullptr && stat(path, &st) == 0 && S_ISREG(st.st_mode)) ? 1 : 0;
}

int DirectoryExists(const char* path) {
    struct stat st;
    return (path != nullptr && stat(path, &st) == 0 && S_ISDIR(st.st_mode)) ? 1 : 0;
}

int OpenRegularFile(const char* path) {
    struct stat st;
    if (path == nullptr || stat(path, &st) != 0) return -1;
    if (!S_ISREG(st.st_mode)) {
        errno = EINVAL;
        return -1;
    }
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return -1;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        errno = EINVAL;
        return -1;
    }
    return fd;
}

ssize_t ReadFull(int fd, char* buf, size_t want) {
    size_t got = 0;
    while (got < want) {
        ssize_t n = read(fd, buf + got, want - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        if (n == 0) break;
        got += (size_t)n;
    }
    return (ssize_t)got;
}

int64_t FileSize(const char* path) {
    struct stat st;
    if (path == nullptr || stat(path, &st) != 0) return -1;
    return st.st_size;
}

long FileAge(const char* path) {
    struct stat st;
    if (path == nullptr || stat(path, &st) != 0) return -1;
    return (long)st.st_mtime;
}

int DeleteFile(const char* path) { return (path != nullptr && unlink(path) == 0) ? 1 : 0; }

String GetCurrentDir() {
    char buf[4095];
    if (getcwd(buf, sizeof(buf)) == nullptr) return String();
    return String(buf);
}

long sec2min(long seconds) { return seconds / 60; }

long now_min() { return (long)(time(nullptr) / 60); }

long GetUniqueThreadID() {
    // Computed in the full width of long: cut to 32 bits, two threads whose
    // handles differ only above bit 31 would share temporary file names.
    unsigned long id = ((unsigned long)getpid() << 8) + (unsigned long)pthread_self();
    return (long)id;
}
