#include "text/vtstring.h"

#include <ctype.h>
#include <stdlib.h>
#include <string.h>

#include "text/owl_assert.h"

namespace {

// The occurrence scan shared by Pos, mempos and memposi. Signed arithmetic:
// a needle longer than the haystack finds nothing.
template <bool kIgnoreCase>
int ScanFor(const char* hay, int hayLen, const char* needle, int needleLen) {
    if (hay == nullptr || needle == nullptr || hayLen <= 0 || needleLen <= 0) return 0;
    const int last = hayLen - needleLen + 1;
    for (int i = 0; i < last; i++) {
        if (kIgnoreCase) {
            if (LoCase(hay[i]) != LoCase(needle[0])) continue;
            int j = 1;
            while (j < needleLen && LoCase(hay[i + j]) == LoCase(needle[j])) j++;
            if (j == needleLen) return i + 1;
        } else {
            if (hay[i] != needle[0]) continue;
            if (memcmp(hay + i + 1, needle + 1, needleLen - 1) == 0) return i + 1;
        }
    }
    return 0;
}

int CLength(const char* text, int n) { return n == -1 ? (int)strlen(text) : n; }

}  // namespace

// ---- String -------------------------------------------------------------

String::String(int capacity) : length_(0), capacity_(0), data_(nullptr), fixed_(0) {
    if (capacity > 0) {
        fixed_ = 1;
        prAllocMem((unsigned)capacity);
    }
}

String::String(const String& other) : length_(0), capacity_(0), data_(nullptr), fixed_(0) {
    if (other.length_ > 0) CopyData(other.data_, (int)other.length_);
}

String::String(const char* text) : length_(0), capacity_(0), data_(nullptr), fixed_(0) {
    if (text != nullptr && text[0] != 0) CopyData(text, -1);
}

String::~String() { free(data_); }

String& String::operator=(const String& other) {
    CopyData(other.data_, (int)other.length_);
    return *this;
}

String& String::operator=(const char* text) {
    CopyData(text, -1);
    return *this;
}

void String::prAllocMem(unsigned n) {
    if (n == 0) {
        free(data_);
        data_ = nullptr;
        capacity_ = 0;
        fixed_ = 0;
        return;
    }
    unsigned newCap = fixed_ ? n : (n / 128 + 1) * 128;
    // Small buffers come from malloc, which serves them from the thread's
    // own cache; calloc and realloc always take the arena's lock, which
    // many session threads would contend for.
    const unsigned kThreadCached = 1024;
    if (data_ == nullptr) {
        data_ = (char*)malloc(newCap);
        // The compiler would merge malloc and memset into calloc, which
        // skips the thread's cache: hide the pointer's origin from it.
        __asm__("" : "+r"(data_));
        if (data_ != nullptr) memset(data_, 0, newCap);
    } else if (newCap <= kThreadCached && capacity_ <= kThreadCached) {
        char* grown = (char*)malloc(newCap);
        if (grown != nullptr) {
            unsigned kept = capacity_ < newCap ? capacity_ : newCap;
            memcpy(grown, data_, kept);
            memset(grown + kept, 0, newCap - kept);
        }
        free(data_);
        data_ = grown;
    } else {
        data_ = (char*)realloc(data_, newCap);
        if (newCap > capacity_) memset(data_ + capacity_, 0, newCap - capacity_);
    }
    capacity_ = newCap;
}

int String::CopyData(const char* text, int n) {
    if (text != nullptr && text == data_) return (int)length_;
    if (text == nullptr || n == 0 || n < -1 || (n == -1 && text[0] == 0)) {
        prAllocMem(0);
        length_ = 0;
        return 0;
    }
    n = CLength(text, n);
    if (capacity_ < (unsigned)n) {
        if (fixed_)
            n = (int)capacity_;
        else
            prAllocMem((unsigned)n);
    }
    if (n > 0) memmove(data_, text, n);
    length_ = (uint32_t)n;
    return n;
}

void String::AddChar(char c) {
    if (length_ + 1 > capacity_) {
        if (fixed_) return;
        prAllocMem(length_ + 1);
    }
    data_[length_++] = c;
}

void String::AddData(const char* text, int n) {
    if (text == nullptr) return;
    n = CLength(text, n);
    if (n <= 0) return;
    if (length_ + (unsigned)n > capacity_) {
        if (fixed_) {
            n = (int)(capacity_ - length_);
            if (n <= 0) return;
        } else {
            // The text may live in our own buffer: keep its offset across the
            // reallocation.
            bool own = data_ != nullptr && text >= data_ && text < data_ + capacity_;
            size_t offset = own ? (size_t)(text - data_) : 0;
            // Appending grows by half again at least, so that a long run of
            // appends copies each byte a few times only.
            unsigned wanted = length_ + (unsigned)n;
            unsigned grown = capacity_ + capacity_ / 2;
            prAllocMem(wanted > grown ? wanted : grown);
            if (own) text = data_ + offset;
        }
    }
    memmove(data_ + length_, text, n);
    length_ += (uint32_t)n;
}

String& String::operator+=(const String& other) {
    AddData(other.data_, (int)other.length_);
    return *this;
}

String& String::operator+=(const char* text) {
    AddData(text, -1);
    return *this;
}

String& String::operator+=(char c) {
    AddData(&c, 1);
    return *this;
}

String String::operator+(const String& other) const {
    String result((int)(length_ + other.length_));
    result.CopyData(data_, (int)length_);
    result.AddData(other.data_, (int)other.length_);
    result.fixed_ = 0;
    return result;
}

String String::operator+(const char* text) const {
    if (text == nullptr) return *this;
    String result((int)(length_ + strlen(text)));
    result.CopyData(data_, (int)length_);
    result.AddData(text, -1);
    result.fixed_ = 0;
    return result;
}

String String::operator+(char c) const {
    String result((int)(length_ + 1));
    result.CopyData(data_, (int)length_);
    result.AddChar(c);
    result.fixed_ = 0;
    return result;
}

char* String::StrCpy(char* target, int size) const {
    if (target == nullptr || size == 0 || length_ == 0) return target;
    int n = (size == -1 || (int)length_ < size) ? (int)length_ : size - 1;
    if (n < 0) return target;
    memcpy(target, data_, n);
    target[n] = 0;
    return target;
}

String& String::SetZero() {
    if (length_ == capacity_) prAllocMem(capacity_ + 128);
    memset(data_ + length_, 0, capacity_ - length_);
    return *this;
}

void String::SetLength(int n) {
    if (n < 0) n = 0;
    length_ = (uint32_t)n;
    // The buffer always follows the requested length, even for a
    // fixed-capacity String, so that length never exceeds capacity.
    uint32_t wasFixed = fixed_;
    fixed_ = 0;
    prAllocMem((unsigned)n);
    if (n > 0) fixed_ = wasFixed;
}

bool String::operator==(const String& other) const {
    if (length_ != other.length_) return false;
    return length_ == 0 || memcmp(data_, other.data_, length_) == 0;
}

bool String::operator==(const char* text) const {
    if (text == nullptr) return length_ == 0;
    size_t n = strlen(text);
    if (n != length_) return false;
    return n == 0 || memcmp(data_, text, n) == 0;
}

int String::Pos(char c) const {
    if (length_ == 0) return 0;
    const void* p = memchr(data_, c, length_);
    return p ? (int)((const char*)p - data_) + 1 : 0;
}

int String::Pos(const char* text, int n) const {
    if (text == nullptr || data_ == nullptr) return 0;
    return ScanFor<false>(data_, (int)length_, text, CLength(text, n));
}

int String::Pos(const String& other) const {
    return ScanFor<false>(data_, (int)length_, other.data_, (int)other.length_);
}

String String::Copy(int pos, int count) const {
    String result;
    if (pos < 1 || pos > (int)length_) return result;
    if ((int64_t)pos + count - 1 > (int64_t)length_) count = (int)length_ - pos + 1;
    if (count < 1) return result;
    result.CopyData(data_ + pos - 1, count);
    return result;
}

void String::Delete(int pos, int count) {
    if (count < 1 || pos < 1 || pos > (int)length_) return;
    if ((int64_t)pos + count - 1 > (int64_t)length_) count = (int)length_ - pos + 1;
    memmove(data_ + pos - 1, data_ + pos - 1 + count, length_ - (pos - 1) - count);
    length_ -= (uint32_t)count;
}

String String::GetWord(int n, char delimiter) const {
    String result;
    unsigned i = 0;
    for (int passed = 0; passed < n - 1; passed++) {
        while (i < length_ && data_[i] != delimiter) i++;
        if (i >= length_) return result;
        i++;  // past the delimiter
    }
    unsigned start = i;
    while (i < length_ && data_[i] != delimiter) i++;
    if (i > start) result.CopyData(data_ + start, (int)(i - start));
    return result;
}

int String::Search(String needle, int caseSensitive, int wholeWord) const {
    String copy(*this);
    if (!caseSensitive) {
        copy.LowerCase();
        needle.LowerCase();
    }
    const int len = copy.Length();
    const int nlen = needle.Length();
    if (nlen == 0) return 0;
    int p = 1;
    while (len >= p) {
        int k = ScanFor<false>(copy.data_ + p - 1, len - p + 1, needle.data_, nlen);
        if (k == 0) return 0;
        p = p + k - 1;
        if (!wholeWord) return p;
        bool before = p > 1 && isalnum((unsigned char)copy[p - 1]);
        bool after = p + nlen <= len && isalnum((unsigned char)copy[p + nlen]);
        if (!before && !after) return p;
        p++;
    }
    return 0;
}

String String::ReplaceAll(const char* what, const char* with, int caseSensitive) const {
    String result;
    if (what == nullptr || what[0] == 0) return *this;
    const int wlen = (int)strlen(what);
    const char* cursor = data_;
    int remaining = (int)length_;
    while (remaining >= wlen) {
        int k = caseSensitive ? mempos(cursor, remaining, what, wlen)
                              : memposi(cursor, remaining, what, wlen);
        if (k == 0) break;
        result.AddData(cursor, k - 1);
        result.AddData(with, -1);
        cursor += k - 1 + wlen;
        remaining -= k - 1 + wlen;
    }
    if (remaining > 0) result.AddData(cursor, remaining);
    return result;
}

String& String::Trim() {
    int start = 0;
    int end = (int)length_;
    while (start < end && (signed char)data_[start] <= 32) start++;
    while (end > start && (signed char)data_[end - 1] <= 32) end--;
    if (start == end) {
        *this = "";
        return *this;
    }
    if (start > 0) memmove(data_, data_ + start, end - start);
    length_ = (uint32_t)(end - start);
    return *this;
}

String& String::RemoveRepeats(char c) {
    uint32_t out = 0;
    for (uint32_t i = 0; i < length_; i++) {
        if (data_[i] == c && out > 0 && data_[out - 1] == c) continue;
        data_[out++] = data_[i];
    }
    length_ = out;
    return *this;
}

String& String::LowerCase() {
    if (length_ > 0) strlower(data_, (int)length_);
    return *this;
}

// ---- TStrList -----------------------------------------------------------

TStrList::TStrList() : count_(0), capacity_(0), lengths_(nullptr), items_(nullptr) {}

TStrList::~TStrList() { Clear(); }

void TStrList::prAllocMem(unsigned n) {
    if (n == 0) {
        Clear();
        return;
    }
    if (capacity_ >= n) return;
    unsigned newCap = (n / 128 + 1) * 128;
    lengths_ = (uint32_t*)realloc(lengths_, newCap);
    items_ = (char**)realloc(items_, newCap / 4 * sizeof(char*));
    capacity_ = newCap;
}

void TStrList::Add(const String& s) {
    if ((unsigned)count_ * 4 >= capacity_) prAllocMem((unsigned)(count_ + 1) * 4);
    char* copy = nullptr;
    if (s.Length() > 0) {
        copy = (char*)malloc(s.Length());
        memcpy(copy, s.Data(), s.Length());
    }
    lengths_[count_] = (uint32_t)s.Length();
    items_[count_] = copy;
    count_++;
}

String TStrList::operator[](int index) {
    if (index < 0 || index >= count_) OWL_ASSERT(0);
    String result;
    if (lengths_[index] > 0) result.CopyData(items_[index], (int)lengths_[index]);
    return result;
}

void TStrList::Delete(int index) {
    if (index < 0 || index >= count_) OWL_ASSERT(0);
    free(items_[index]);
    if (index < count_ - 1) {
        memmove(items_ + index, items_ + index + 1, (count_ - index - 1) * sizeof(char*));
        memmove(lengths_ + index, lengths_ + index + 1, (count_ - index - 1) * sizeof(uint32_t));
    }
    count_--;
}

void TStrList::DeleteLast() { Delete(count_ - 1); }

void TStrList::Clear() {
    for (int i = 0; i < count_; i++) free(items_[i]);
    free(items_);
    free(lengths_);
    items_ = nullptr;
    lengths_ = nullptr;
    count_ = 0;
    capacity_ = 0;
}

// ---- byte helpers -------------------------------------------------------

char UpCase(char c) { return (c >= 'a' && c <= 'z') ? (char)(c - 32) : c; }

char LoCase(char c) { return (c >= 'A' && c <= 'Z') ? (char)(c + 32) : c; }

char* strupper(char* s) {
    for (char* p = s; p && *p; p++) *p = UpCase(*p);
    return s;
}

char* strlower(char* s) {
    for (char* p = s; p && *p; p++) *p = LoCase(*p);
    return s;
}

char* strupper(char* s, int n) {
    for (int i = 0; s && i < n; i++) s[i] = UpCase(s[i]);
    return s;
}

char* strlower(char* s, int n) {
    for (int i = 0; s && i < n; i++) s[i] = LoCase(s[i]);
    return s;
}

bool isdecimalnum(const char* s) {
    for (const char* p = s; p && *p; p++)
        if (!((*p >= '0' && *p <= '9') || *p == '-')) return false;
    return true;
}

bool isdecimalnum(const char* s, int n) {
    for (int i = 0; i < n; i++)
        if (!(s[i] >= '0' && s[i] <= '9')) return false;
    return true;
}

int mempos(const char* hay, int hayLen, const char* needle, int needleLen) {
    return ScanFor<false>(hay, hayLen, needle, needleLen);
}

int memposi(const char* hay, int hayLen, const char* needle, int needleLen) {
    return ScanFor<true>(hay, hayLen, needle, needleLen);
}

bool isLeadByte(char) { return false; }

int StrCharLength(const char*) { return 1; }

int ByteType(const char*, int) { return 0; }

int ByteType(const String&, int) { return 0; }

const char* StrNextChar(const char* s) { return s + StrCharLength(s); }
