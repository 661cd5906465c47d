#include "fs/findstr.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include <memory>
#include <new>

#include "fs/filesearch.h"

namespace {

// New bytes read per block; a block also keeps the tail of the one before.
const size_t kBlock = 1 << 20;

bool IsWordByte(unsigned char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

void LowerBytes(char* p, size_t n) {
    for (size_t i = 0; i < n; i++)
        if (p[i] >= 'A' && p[i] <= 'Z') p[i] = (char)(p[i] + ('a' - 'A'));
}

// Every occurrence of a needle in a buffer, in order, in linear time
// (Knuth-Morris-Pratt, skipping to the needle's first byte with memchr while
// nothing is matched), so that a whole-word search that rejects occurrence
// after occurrence never turns quadratic.
class TOccurrences {
  public:
    TOccurrences(const char* needle, size_t len) : needle_(needle), len_(len) {}

    bool Init() {
        fail_.reset(new (std::nothrow) uint32_t[len_]);
        if (!fail_) return false;
        fail_[0] = 0;
        uint32_t k = 0;
        for (size_t i = 1; i < len_; i++) {
            while (k > 0 && needle_[i] != needle_[k]) k = fail_[k - 1];
            if (needle_[i] == needle_[k]) k++;
            fail_[i] = k;
        }
        return true;
    }

    // Starts a scan of buf[from, size).
    void Reset(const char* buf, size_t from, size_t size) {
        buf_ = buf;
        pos_ = from;
        size_ = size;
        matched_ = 0;
    }

    // The start of the next occurrence, or -1 when the buffer is done.
    int64_t Next() {
        while (pos_ < size_) {
            if (matched_ == 0) {
                const void* hit = memchr(buf_ + pos_, needle_[0], size_ - pos_);
                if (hit == nullptr) {
                    pos_ = size_;
                    break;
                }
                pos_ = (size_t)((const char*)hit - buf_);
            }
            char c = buf_[pos_];
            while (matched_ > 0 && c != needle_[matched_]) matched_ = fail_[matched_ - 1];
            if (c == needle_[matched_]) matched_++;
            pos_++;
            if (matched_ == len_) {
                matched_ = fail_[len_ - 1];
                return (int64_t)(pos_ - len_);
            }
        }
        return -1;
    }

  private:
    const char* needle_;
    size_t len_;
    std::unique_ptr<uint32_t[]> fail_;
    const char* buf_ = nullptr;
    size_t pos_ = 0, size_ = 0, matched_ = 0;
};

// One search over the file's blocks. Each block after the first starts with
// the last needle length + 1 bytes of the one before: an occurrence that did
// not fit, together with the byte after it, is then found whole in the next
// block, with the byte before it in front (at index 0, which serves only as
// that context).
class TBlockSearch {
  public:
    TBlockSearch(int fd, const String& needle, int caseSensitive, int wholeWord)
        : fd_(fd),
          needle_(needle.Data()),
          len_((size_t)needle.Length()),
          lower_(!caseSensitive),
          whole_(wholeWord != 0),
          occurrences_(needle.Data(), (size_t)needle.Length()) {}

    int64_t Run() {
        size_t keep = len_ + 1;
        size_t capacity = kBlock + keep;
        std::unique_ptr<char[]> buf(new (std::nothrow) char[capacity]);
        if (!buf || (whole_ && !occurrences_.Init())) return -1;
        int64_t start = 0;  // file offset of buf[0]
        size_t size = 0, from = 0;
        for (;;) {
            ssize_t n = ReadFull(fd_, buf.get() + size, capacity - size);
            if (n < 0) return -1;
            if (lower_) LowerBytes(buf.get() + size, (size_t)n);
            size += (size_t)n;
            bool eof = size < capacity;
            int64_t k =
                whole_ ? FindWord(buf.get(), from, size, eof) : FindAny(buf.get(), from, size);
            if (k >= 0) return start + k + 1;
            if (eof) return 0;
            memmove(buf.get(), buf.get() + size - keep, keep);
            start += (int64_t)(size - keep);
            size = keep;
            from = 1;
        }
    }

  private:
    int64_t FindAny(const char* buf, size_t from, size_t size) const {
        if (size - from < len_) return -1;
        const void* hit = memmem(buf + from, size - from, needle_, len_);
        return hit == nullptr ? -1 : (int64_t)((const char*)hit - buf);
    }

    // The first occurrence with no letter or digit beside it. One that ends
    // the block before the end of the file waits for the next block, which
    // shows the byte after it.
    int64_t FindWord(const char* buf, size_t from, size_t size, bool eof) {
        occurrences_.Reset(buf, from, size);
        for (int64_t i = occurrences_.Next(); i >= 0; i = occurrences_.Next()) {
            size_t end = (size_t)i + len_;
            if (end == size && !eof) return -1;
            if (i > 0 && IsWordByte((unsigned char)buf[i - 1])) continue;
            if (end < size && IsWordByte((unsigned char)buf[end])) continue;
            return i;
        }
        return -1;
    }

    int fd_;
    const char* needle_;
    size_t len_;
    bool lower_;
    bool whole_;
    TOccurrences occurrences_;
};

}  // namespace

int64_t FindStrInFile(const char* path, String& needle, int caseSensitive, int wholeWord) {
    if (needle.Length() == 0 || path == nullptr || path[0] == 0) return -1;
    int fd = OpenRegularFile(path);
    if (fd < 0) return -1;
    posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    if (!caseSensitive) needle.LowerCase();
    int64_t result = TBlockSearch(fd, needle, caseSensitive, wholeWord).Run();
    close(fd);
    return result;
}
