#include "fs/fileutils.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <limits.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <time.h>
#include <unistd.h>

#include <memory>
#include <new>
#include <string>
#include <vector>

#include "crypto/ciplib.h"
#include "fs/filesearch.h"
#include "fs/findstr.h"

const char* const CountFilesModeName[6] = {"AllFiles",   "OlderThan",   "NewerThan",
                                           "BiggerThan", "SmallerThan", "SubFolders"};

namespace {

// Paths at least this long are opened piecewise (PATH_MAX is 4096).
const size_t kLongPath = 4000;
// Read block of the checksum and of the comparison.
const size_t kCrcBlock = 1 << 20;
const size_t kCompareBlock = 256 << 10;
const int64_t kMaxPattern = 256 << 20;

std::string Std(const String& s) { return std::string(s.Data() ? s.Data() : "", s.Length()); }

bool IsDotOrDotDot(const char* name) {
    return name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0));
}

bool IsHiddenName(const char* name) { return name[0] == '.' && !IsDotOrDotDot(name); }

// Opens a path of any length (empty: the working directory). A path too
// long for one call is opened a group of components at a time, each group
// relative to the one before, holding at most two descriptors. Returns a
// close-on-exec descriptor, or -1 with errno set.
int OpenLongPath(const std::string& path, int flags) {
    flags |= O_CLOEXEC;
    if (path.find('\0') != std::string::npos) {
        errno = ENOENT;
        return -1;
    }
    if (path.size() < kLongPath) return open(path.empty() ? "." : path.c_str(), flags);
    int dirFd = AT_FDCWD;
    size_t pos = 0;
    while (path.size() - pos >= kLongPath) {
        size_t cut = path.rfind('/', pos + kLongPath - 1);
        int fd = -1;
        if (cut == std::string::npos || cut < pos) {
            errno = ENAMETOOLONG;  // one name longer than any file system allows
        } else {
            fd = openat(dirFd, path.substr(pos, cut - pos + 1).c_str(),
                        O_PATH | O_DIRECTORY | O_CLOEXEC);
        }
        int saved = errno;
        if (dirFd != AT_FDCWD) close(dirFd);
        errno = saved;
        if (fd < 0) return -1;
        dirFd = fd;
        pos = cut + 1;
        // Further slashes only separate: "/" at the front would mean the root.
        while (pos < path.size() && path[pos] == '/') pos++;
    }
    int fd = openat(dirFd, pos < path.size() ? path.c_str() + pos : ".", flags);
    int saved = errno;
    close(dirFd);
    errno = saved;
    return fd;
}

// The kind of a directory entry, from the entry's type where the file system
// reports it, else from a status call that does not follow links.
enum TKind { kGone, kLink, kDir, kRegular, kSpecial };

TKind KindOf(int dirFd, const dirent* entry) {
    switch (entry->d_type) {
        case DT_DIR:
            return kDir;
        case DT_REG:
            return kRegular;
        case DT_LNK:
            return kLink;
        case DT_UNKNOWN:
            break;
        default:
            return kSpecial;
    }
    struct stat st;
    if (fstatat(dirFd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) return kGone;
    if (S_ISDIR(st.st_mode)) return kDir;
    if (S_ISREG(st.st_mode)) return kRegular;
    return S_ISLNK(st.st_mode) ? kLink : kSpecial;
}

// The entry's own status; false when it vanished or became a link.
bool EntryStat(int dirFd, const char* name, struct stat& st) {
    return fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISLNK(st.st_mode);
}

bool Writable(int dirFd, const char* name) { return faccessat(dirFd, name, W_OK, 0) == 0; }

// What the two walks share: the folders still to visit wait on a list
// instead of the stack, and the folder read last stays open, so that its
// sub-folder, which the walk visits next, opens relative to it. Together
// with the piecewise opening of long paths a walk holds at most three
// descriptors however deep the tree is, and a chain of folders costs one
// short lookup per level.
class TWalk {
  public:
    TWalk() = default;
    ~TWalk() {
        if (previous_ != nullptr) closedir(previous_);
    }
    TWalk(const TWalk&) = delete;
    TWalk& operator=(const TWalk&) = delete;

  protected:
    // A folder to visit: its path ending in "/" (empty: the working
    // directory), the mask for its files, and the visit and name under
    // which its parent listed it.
    struct Item {
        std::string folder;
        std::string mask;
        uint64_t parent;
        std::string name;
    };

    // A descriptor for looking up names in the item's folder, or -1.
    int OpenLookup(const Item& item) const {
        if (previous_ != nullptr && item.parent == previousVisit_)
            return openat(dirfd(previous_), item.name.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        return OpenLongPath(item.folder, O_PATH | O_DIRECTORY);
    }

    // Opens name (in the folder of lookup) as a stream to read, closing
    // lookup; null when either step failed.
    static DIR* OpenStream(int lookup, const char* name) {
        if (lookup < 0) return nullptr;
        int fd = openat(lookup, name, O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC);
        close(lookup);
        DIR* dir = fd >= 0 ? fdopendir(fd) : nullptr;
        if (dir == nullptr && fd >= 0) close(fd);
        return dir;
    }

    // Keeps the stream just read as the parent of the next visit.
    uint64_t Finish(DIR* dir) {
        if (previous_ != nullptr) closedir(previous_);
        previous_ = dir;
        previousVisit_ = ++visits_;
        return previousVisit_;
    }

    // The next sub-folder to visit: depth first, the last one found first.
    bool Pop(Item& item) {
        if (pending_.empty()) return false;
        item = std::move(pending_.back());
        pending_.pop_back();
        return true;
    }

    // The sum of visit over the first item and every sub-folder the visits
    // queue; -1 when the first fails (a sub-folder that fails adds nothing).
    template <class Visit>
    int64_t Total(Item first, Visit visit) {
        int64_t total = visit(first);
        if (total < 0) return -1;
        Item item;
        while (Pop(item)) {
            int64_t n = visit(item);
            if (n > 0) total += n;
        }
        return total;
    }

    std::vector<Item> pending_;

  private:
    DIR* previous_ = nullptr;
    uint64_t previousVisit_ = 0;
    uint64_t visits_ = 0;
};

// CountFiles over a folder and, when recursive, its writable, non-hidden
// sub-folders.
class TCountWalk : TWalk {
  public:
    TCountWalk(const String& mask, int recursive, TCountFilesMode mode, int value)
        : mask_(Std(mask)),
          maskOk_(mask_.find('\0') == std::string::npos),
          recursive_(recursive != 0),
          mode_(mode),
          value_(value) {}

    int Run(const std::string& folder) {
        int64_t total = Total({folder, mask_, 0, ""}, [this](const Item& i) { return Folder(i); });
        return total > INT_MAX ? INT_MAX : (int)total;
    }

  private:
    // The count of one folder without its sub-folders, which it queues
    // (recursive only); -1 as CountFiles has it for this folder.
    int64_t Folder(const Item& item) {
        DIR* dir = OpenStream(OpenLookup(item), ".");
        if (dir == nullptr) return -1;
        int fd = dirfd(dir);
        long nowMin = now_min();
        bool found = false, writable = false;
        int64_t count = 0;
        std::vector<std::string> subs;
        while (const dirent* entry = readdir(dir)) {
            const char* name = entry->d_name;
            TKind kind = KindOf(fd, entry);
            if (kind == kGone || kind == kLink) continue;
            // The search for writable, non-hidden folders and files that
            // decides the -1 case and the sub-folders to descend into.
            if (recursive_ && !IsHiddenName(name) && (kind == kDir || kind == kRegular)) {
                if (kind == kDir && !IsDotOrDotDot(name)) {
                    if (Writable(fd, name)) {
                        subs.push_back(name);
                        writable = true;
                    }
                } else if (!writable) {
                    writable = Writable(fd, name);
                }
            }
            if (!maskOk_ || fnmatch(mask_.c_str(), name, 0) != 0) continue;
            found = true;
            if (Counts(fd, name, kind, nowMin)) count++;
        }
        if (!recursive_) writable = !found && HasWritableEntry(dir);
        uint64_t visit = Finish(dir);
        if (!recursive_) return found ? count : (writable ? 0 : -1);
        if (!writable) return -1;
        for (std::string& sub : subs)
            pending_.push_back({item.folder + sub + "/", mask_, visit, std::move(sub)});
        return count;
    }

    bool Counts(int fd, const char* name, TKind kind, long nowMin) const {
        if (kind == kDir) return mode_ == cfSubFolders && !IsDotOrDotDot(name);
        if (mode_ == cfAllFiles) return true;
        if (mode_ == cfSubFolders) return false;
        struct stat st;
        if (!EntryStat(fd, name, st)) return false;
        switch (mode_) {
            case cfOlderThan:
                return sec2min((long)st.st_mtime) < nowMin - value_;
            case cfNewerThan:
                return sec2min((long)st.st_mtime) > nowMin - value_;
            case cfBiggerThan:
                return (int64_t)st.st_size > (int64_t)value_;
            case cfSmallerThan:
                return (int64_t)st.st_size < (int64_t)value_;
            default:
                return false;
        }
    }

    // Whether the folder holds a writable, non-hidden folder or regular
    // file, "." and ".." included.
    static bool HasWritableEntry(DIR* dir) {
        rewinddir(dir);
        while (const dirent* entry = readdir(dir)) {
            TKind kind = KindOf(dirfd(dir), entry);
            if ((kind == kDir || kind == kRegular) && !IsHiddenName(entry->d_name) &&
                Writable(dirfd(dir), entry->d_name))
                return true;
        }
        return false;
    }

    std::string mask_;
    bool maskOk_;
    bool recursive_;
    TCountFilesMode mode_;
    int value_;
};

// GetFolderSize over an item and, when recursive, every sub-folder. When
// an item's folder holds a directory named like its mask, that directory is
// the item's folder and its mask becomes "*" (so a path may name a folder, a
// pattern or a file).
class TSizeWalk : TWalk {
  public:
    explicit TSizeWalk(int recursive) : recursive_(recursive != 0) {}

    int64_t Run(const std::string& folder, const std::string& mask) {
        return Total({folder, mask, 0, ""}, [this](const Item& i) { return Folder(i); });
    }

  private:
    // Opens the folder an item names for reading and settles its mask.
    DIR* OpenItem(Item& item) const {
        int lookup = OpenLookup(item);
        if (lookup < 0) return nullptr;
        std::string sub = ".";
        struct stat st;
        if (item.mask.empty()) {
            item.mask = "*";
        } else if (item.mask.find('\0') == std::string::npos &&
                   fstatat(lookup, item.mask.c_str(), &st, 0) == 0 && S_ISDIR(st.st_mode)) {
            sub = item.mask;
            item.folder += item.mask + "/";
            item.mask = "*";
        }
        return OpenStream(lookup, sub.c_str());
    }

    int64_t Folder(Item item) {
        DIR* dir = OpenItem(item);
        if (dir == nullptr) return -1;
        int fd = dirfd(dir);
        bool maskOk = item.mask.find('\0') == std::string::npos;
        bool seen = false;
        int64_t sum = 0;
        std::vector<std::string> subs;
        while (const dirent* entry = readdir(dir)) {
            const char* name = entry->d_name;
            TKind kind = KindOf(fd, entry);
            if (kind == kGone || kind == kLink) continue;
            seen = true;
            if (kind == kDir) {
                if (recursive_ && !IsDotOrDotDot(name)) subs.push_back(name);
                continue;
            }
            struct stat st;
            if (maskOk && fnmatch(item.mask.c_str(), name, 0) == 0 && EntryStat(fd, name, st))
                sum += st.st_size;
        }
        uint64_t visit = Finish(dir);
        for (std::string& sub : subs)
            pending_.push_back({item.folder + sub + "/", item.mask, visit, std::move(sub)});
        return seen ? sum : -1;
    }

    bool recursive_;
};

// A descriptor that closes itself.
class TFd {
  public:
    explicit TFd(int fd) : fd_(fd) {}
    ~TFd() {
        if (fd_ >= 0) close(fd_);
    }
    TFd(const TFd&) = delete;
    TFd& operator=(const TFd&) = delete;
    int get() const { return fd_; }

  private:
    int fd_;
};

int CompareOpen(int fd1, int fd2) {
    std::unique_ptr<char[]> a(new (std::nothrow) char[kCompareBlock]);
    std::unique_ptr<char[]> b(new (std::nothrow) char[kCompareBlock]);
    if (!a || !b) return -1;
    for (;;) {
        ssize_t n1 = ReadFull(fd1, a.get(), kCompareBlock);
        ssize_t n2 = ReadFull(fd2, b.get(), kCompareBlock);
        if (n1 < 0 || n2 < 0) return -1;
        if (memcmp(a.get(), b.get(), (size_t)(n1 < n2 ? n1 : n2)) != 0) return 0;
        if ((size_t)n1 < kCompareBlock || (size_t)n2 < kCompareBlock) return 1;
    }
}

}  // namespace

int IsValidPath(const String& s) {
    return (s.Length() > 0 && memchr(s.Data(), 0, s.Length()) == nullptr) ? 1 : 0;
}

int CountFiles(String folder, const String& mask, int recursive, TCountFilesMode mode, int value) {
    std::string path = Std(folder);
    if (!path.empty() && path.back() != '/') path += '/';
    return TCountWalk(mask, recursive, mode, value).Run(path);
}

int64_t GetFolderSize(String path, int recursive) {
    if (path.Length() == 0) return -1;
    std::string p = Std(path);
    size_t slash = p.rfind('/');
    std::string folder = slash == std::string::npos ? "" : p.substr(0, slash + 1);
    std::string mask = slash == std::string::npos ? p : p.substr(slash + 1);
    if (mask.size() > 4095) mask.resize(4095);
    return TSizeWalk(recursive).Run(folder, mask);
}

int CompareFiles(const char* path1, const char* path2) {
    if (path1 == nullptr || path1[0] == 0 || path2 == nullptr || path2[0] == 0) return -1;
    TFd fd1(OpenRegularFile(path1));
    if (fd1.get() < 0) return -1;
    TFd fd2(OpenRegularFile(path2));
    if (fd2.get() < 0) return -1;
    return CompareOpen(fd1.get(), fd2.get());
}

int64_t FindFileInFile(const char* path, const char* patternPath) {
    if (patternPath == nullptr || patternPath[0] == 0) return -1;
    if (FileSize(patternPath) == 0) return 1;
    TFd fd(OpenRegularFile(patternPath));
    struct stat st;
    if (fd.get() < 0 || fstat(fd.get(), &st) != 0 || st.st_size > kMaxPattern) return -1;
    String pattern;
    pattern.SetLength((int)st.st_size);
    ssize_t n = ReadFull(fd.get(), pattern.Data(), (size_t)st.st_size);
    if (n < 0) return -1;
    pattern.SetLength((int)n);
    return FindStrInFile(path, pattern, 1, 0);
}

int GetFileCRC(const char* path, uint32_t& crc, String& error) {
    error = "";
    if (path == nullptr || path[0] == 0) {
        error = "File is not specified";
        return 0;
    }
    TFd fd(OpenRegularFile(path));
    if (fd.get() < 0) {
        // Reading a folder fails at once; FIFOs, devices and sockets are not
        // opened at all, as reading them might never end.
        struct stat st;
        error = stat(path, &st) == 0 && S_ISDIR(st.st_mode) ? "Read error" : "Cannot open file";
        return 0;
    }
    posix_fadvise(fd.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
    std::unique_ptr<char[]> buf(new (std::nothrow) char[kCrcBlock]);
    TCRC32 sum;
    for (;;) {
        ssize_t n = buf ? read(fd.get(), buf.get(), kCrcBlock) : -1;
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            error = "Read error";
            return 0;
        }
        if (n == 0) break;
        sum.UpdateCRC(buf.get(), (int)n);
    }
    crc = sum.GetCRC();
    return 1;
}

int GetFileInfo(const char* path, int64_t& size, long& changeTime, long& modifyTime) {
    struct stat st;
    if (path == nullptr || path[0] == 0 || lstat(path, &st) != 0) return 0;
    size = st.st_size;
    changeTime = (long)st.st_ctime;
    modifyTime = (long)st.st_mtime;
    return 1;
}

int GetUNCDriveInfo(const char* path, int64_t& total, int64_t& free, int64_t& available) {
    if (path == nullptr) {
        errno = ENOENT;
        return 0;
    }
    struct statfs fs;
    if (statfs(path, &fs) != 0) return 0;
    total = (int64_t)fs.f_blocks * (int64_t)fs.f_bsize;
    free = (int64_t)fs.f_bfree * (int64_t)fs.f_bsize;
    available = (int64_t)fs.f_bavail * (int64_t)fs.f_bsize;
    return 1;
}
