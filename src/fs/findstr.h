// findstr: FindStrInFile, the whole-file search for a byte string that the
// file-comparison test and FindFileInFile use. Reentrant: every call works
// on its own descriptor and buffers, so several threads may search the same
// file at once.
#pragma once

#include <stdint.h>

#include "text/vtstring.h"

// Searches the regular file at path for needle, optionally ignoring ASCII
// letter case and optionally only as a whole word (no ASCII letter or digit
// right before or right after it). Returns the 1-based file offset of the
// first acceptable occurrence, 0 when there is none (a file shorter than the
// needle included), -1 when needle is empty, path is null or empty, the path
// is not a regular file, cannot be opened or read, or memory runs out. With
// caseSensitive 0 the caller's needle is lower-cased in place.
int64_t FindStrInFile(const char* path, String& needle, int caseSensitive, int wholeWord);
