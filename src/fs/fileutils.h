// fileutils: the measuring behind the file tests and the file list:
// CountFiles, GetFolderSize, CompareFiles, FindFileInFile, GetFileCRC,
// GetFileInfo and GetUNCDriveInfo. None of them writes a reply.
//
// Threads: every function keeps its state in locals and the caller's
// out-parameters and may run on several session threads at once. The folder
// walks run without recursion and hold at most three descriptors at any
// depth, so a deep tree neither exhausts a session thread's stack nor the
// process's descriptors. Symbolic links are never counted, measured or
// followed by a walk.
#pragma once

#include <stdint.h>

#include "text/vtstring.h"

// What CountFiles counts; the display names are CountFilesModeName's.
enum TCountFilesMode {
    cfAllFiles = 0,     // every non-directory entry that matches the mask
    cfOlderThan = 1,    // ... modified more than value minutes ago
    cfNewerThan = 2,    // ... modified less than value minutes ago
    cfBiggerThan = 3,   // ... larger than value bytes
    cfSmallerThan = 4,  // ... smaller than value bytes
    cfSubFolders = 5,   // matching sub-folders, "." and ".." excluded
};
extern const char* const CountFilesModeName[6];

// 1 when s can name a file: not empty and without a zero byte, else 0.
int IsValidPath(const String& s);

// Counts the entries of folder (empty: the working directory) whose names
// match mask (fnmatch, no flags) as mode and value say. With recursive set
// it also counts in every writable, non-hidden sub-folder, level by level.
// Returns the count, or -1 when the folder cannot be read, when (recursive)
// it holds no writable non-hidden folder or file, "." and ".." included, or
// when (not recursive) nothing matched and it holds no such entry either.
int CountFiles(String folder, const String& mask, int recursive, TCountFilesMode mode, int value);

// The total size of the non-directory entries that path names: all of a
// folder, the matches of a folder followed by "/" and a wildcard pattern, or
// one file; with recursive set the same pattern also applies in every
// sub-folder, hidden and non-writable ones included. Returns the sum, or -1
// when path is empty or its folder cannot be read. A sub-folder that cannot
// be read adds nothing.
int64_t GetFolderSize(String path, int recursive);

// Compares two regular files over their common length. Returns 1 when
// those bytes agree (a file and a longer file that begins with it agree), 0
// when they differ, -1 when a name is null or empty, a file is not a regular
// file or cannot be opened, or a read fails.
int CompareFiles(const char* path1, const char* path2);

// The 1-based offset in the file at path of the first occurrence of the
// whole content of the file at patternPath: 1 at once for an empty pattern
// file, 0 when it does not occur, -1 when patternPath is null or empty, a
// file cannot be opened or read, or the pattern exceeds 256 MiB (the whole
// pattern is held in memory).
int64_t FindFileInFile(const char* path, const char* patternPath);

// The CRC-32 of a regular file's bytes (register preset to 0xFFFFFFFF, no
// final inversion). Returns 1 with crc set and error empty, or 0 with error
// "File is not specified" (null or empty path), "Cannot open file" (missing,
// not readable, a FIFO, device or socket) or "Read error" (a folder, or a
// read that failed); crc is then unchanged.
int GetFileCRC(const char* path, uint32_t& crc, String& error);

// The entry's size, status-change time and modification time (seconds since
// the epoch) without following a symbolic link; a directory is reported like
// a file. Returns 1 with the three out-parameters set, or 0 (left unchanged)
// when path is null or empty or the status call fails.
int GetFileInfo(const char* path, int64_t& size, long& changeTime, long& modifyTime);

// Size, free space and space available to unprivileged users of the file
// system that holds path, in bytes. Returns 1 with the out-parameters set,
// or 0 with errno as the status call left it (ENOENT for a null path).
int GetUNCDriveInfo(const char* path, int64_t& total, int64_t& free, int64_t& available);
