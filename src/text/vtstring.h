// vtstring: the agent's byte string `String`, the string list `TStrList` and
// the byte helpers they use. A String is a plain value: every copy owns its
// buffer, it may hold zero bytes, positions are 1-based and 0 means "not
// found". Nothing here locks: a String or a list belongs to one thread at a
// time; the free helpers are reentrant.
#pragma once

#include <stdint.h>

class String {
  public:
    // capacity 0: the ordinary empty String without a buffer. Otherwise an
    // empty fixed-capacity String of exactly that many zeroed bytes.
    explicit String(int capacity = 0);
    String(const String& other);
    String(const char* text);
    ~String();

    String& operator=(const String& other);
    String& operator=(const char* text);

    // Replaces the content with n bytes of text (n = -1: up to the zero
    // byte). Null text or n = 0 empties the String and frees its buffer.
    // Returns the new length.
    int CopyData(const char* text, int n);

    // Appends one byte. A fixed-capacity String that is full drops it.
    void AddChar(char c);
    // Appends n bytes (n = -1: up to the zero byte); null text does nothing.
    // A fixed-capacity String keeps only what fits.
    void AddData(const char* text, int n);

    String& operator+=(const String& other);
    String& operator+=(const char* text);
    String& operator+=(char c);
    String operator+(const String& other) const;
    String operator+(const char* text) const;
    String operator+(char c) const;

    char* Data() const { return data_; }
    int Length() const { return (int)length_; }
    // The byte at 1-based position i; the caller keeps 1 <= i <= Length().
    char operator[](int i) const { return data_[i - 1]; }

    // Copies the text into target (size bytes, -1 for unlimited) and ends it
    // with a zero byte; a null target, size 0 or an empty String leave the
    // target untouched. Returns target.
    char* StrCpy(char* target, int size) const;
    // Makes Data() a C string: zeroes every byte behind the text, growing
    // the buffer first when the text fills it.
    String& SetZero();
    // Sets the length to n and sizes the buffer for it (0 frees it).
    void SetLength(int n);

    bool operator==(const String& other) const;
    bool operator==(const char* text) const;
    bool operator!=(const String& other) const { return !(*this == other); }
    bool operator!=(const char* text) const { return !(*this == text); }

    int Pos(char c) const;
    int Pos(const char* text, int n = -1) const;
    int Pos(const String& other) const;
    // count bytes from pos (clipped at the end); pos must be at least 1.
    String Copy(int pos, int count) const;
    // Removes count bytes from pos; out-of-range arguments change nothing.
    void Delete(int pos, int count);
    // Field n (from 1) of the text split at every single delimiter.
    String GetWord(int n, char delimiter) const;
    // First occurrence of needle, optionally case-insensitive (ASCII) and
    // only as a whole word (no letter or digit on either side); 0 if none.
    int Search(String needle, int caseSensitive, int wholeWord) const;
    // A copy with every occurrence of what replaced by with.
    String ReplaceAll(const char* what, const char* with, int caseSensitive) const;
    // Strips bytes that read as signed 8-bit are at most 32 (this includes
    // 0x80-0xFF) from both ends.
    String& Trim();
    // Collapses every run of c into a single c.
    String& RemoveRepeats(char c);
    // 'A'-'Z' to 'a'-'z' over the whole length.
    String& LowerCase();

  private:
    void prAllocMem(unsigned n);

    uint32_t length_;
    uint32_t capacity_;
    char* data_;
    uint32_t fixed_;
};

// A growable list of byte strings, indexed from 0. Items are stored as raw
// buffers and copied out as new Strings. An index outside the list stops
// the process with an assertion.
class TStrList {
  public:
    TStrList();
    ~TStrList();
    TStrList(const TStrList&) = delete;
    TStrList& operator=(const TStrList&) = delete;

    void Add(const String& s);
    String operator[](int index);
    void Delete(int index);
    void DeleteLast();
    void Clear();
    int Count() const { return count_; }
    // Room in each array, in bytes (4 per item).
    unsigned Capacity() const { return capacity_; }

  private:
    void prAllocMem(unsigned n);

    int32_t count_;
    uint32_t capacity_;
    uint32_t* lengths_;
    char** items_;
};

// ASCII-only case helpers; other bytes are never changed.
char UpCase(char c);
char LoCase(char c);
char* strupper(char* s);
char* strlower(char* s);
char* strupper(char* s, int n);
char* strlower(char* s, int n);

// Every byte up to the zero is a digit or '-' (so "" and "-" pass).
bool isdecimalnum(const char* s);
// Each of the first n bytes is a digit; n = 0 passes.
bool isdecimalnum(const char* s, int n);

// 1-based position of needle in haystack, 0 when absent or when a pointer is
// null or a length is 0. memposi compares ASCII letters without case.
int mempos(const char* hay, int hayLen, const char* needle, int needleLen);
int memposi(const char* hay, int hayLen, const char* needle, int needleLen);

// One byte is one character on this platform.
bool isLeadByte(char c);
int StrCharLength(const char* s);
int ByteType(const char* s, int index);
int ByteType(const String& s, int index);
const char* StrNextChar(const char* s);
