#include "handlers/files.h"

#include <errno.h>
#include <string.h>
#include <time.h>

#include "config/settings.h"
#include "fs/filesearch.h"
#include "fs/fileutils.h"
#include "fs/findstr.h"
#include "fs/macros.h"
#include "text/codecs.h"

namespace {

// The largest second file of "find file in file", held whole in memory.
const int64_t kMaxPatternFile = 8388608;

bool Flag(const RequestParams& params, int position) {
    return owlDecodeBool(params.GetParam(position, PARAM_TRIMMED)) != 0;
}

// The path at position, passed through the file-name macros when the flag at
// macroPosition says so (macroPosition 0: never).
String PathParam(const RequestParams& params, int position, int macroPosition) {
    String path = params.GetParam(position, PARAM_TRIMMED);
    if (macroPosition > 0 && Flag(params, macroPosition)) path = GetFileUsingSpecialMacros(path);
    return path;
}

// The path as a C string for the file-system calls; one holding a zero byte
// names no file and reads as empty.
const char* CPath(String& path) {
    if (!IsValidPath(path)) return "";
    return path.SetZero().Data();
}

// An existing regular file (links followed).
bool RegularFile(String& path) { return FileExists(CPath(path)) != 0; }

void ReplyBool(OWLReply& reply, int value) {
    reply.SetResult(OWL_OK);
    reply.AddBoolParam(value);
}

// Mode "1": whether the two files agree in the aspects the request names.
void CompareTwoFiles(const RequestParams& params, String& first, OWLReply& reply) {
    String second = PathParam(params, 3, 13);
    if (!RegularFile(second)) return;
    bool times = Flag(params, 4), sizes = Flag(params, 5), contents = Flag(params, 6);
    int result = 1;
    if (times && FileAge(CPath(first)) != FileAge(CPath(second))) {
        result = 0;
    } else {
        if (sizes) result = FileSize(CPath(first)) == FileSize(CPath(second));
        if (result == 1 && contents) result = CompareFiles(CPath(first), CPath(second));
    }
    if (result < 0)
        reply.SetResult(OWL_CANNOT_PERFORM) += "I/O Error";
    else
        ReplyBool(reply, result);
}

// Mode "2": whether the whole content of the second file occurs in the first.
void FindFileContent(const RequestParams& params, String& first, OWLReply& reply) {
    String second = PathParam(params, 3, 0);
    if (!RegularFile(second)) return;
    if (FileSize(CPath(second)) > kMaxPatternFile) {
        reply.SetResult(OWL_CANNOT_PERFORM) += "The size of the second file cannot exceed 8Mb";
        return;
    }
    int64_t position = FindFileInFile(CPath(first), CPath(second));
    if (position < 0)
        reply.SetResult(OWL_CANNOT_PERFORM) += "I/O Error";
    else
        ReplyBool(reply, position != 0);
}

// Mode "3": whether the text occurs in the first file.
void FindText(const RequestParams& params, String& first, OWLReply& reply) {
    String text = params.GetParam(3, PARAM_TRIMMED);
    int64_t position = FindStrInFile(CPath(first), text, Flag(params, 4), Flag(params, 5));
    if (position < 0)
        reply.SetResult(OWL_CANNOT_PERFORM) += "I/O Error";
    else
        ReplyBool(reply, position != 0);
}

// The position of the first file's macro flag for a compare mode.
int FirstMacroPosition(const String& mode) {
    if (mode == "1" || mode == "4") return 12;
    if (mode == "2") return 9;
    if (mode == "3") return 11;
    return 0;
}

}  // namespace

void ProcessTest_UNC(const RequestParams& params, OWLReply& reply) {
    String path = params.GetParam(1, PARAM_TRIMMED);
    if (path.Length() == 0) {
        reply.SetResult(OWL_BAD_PARAMETER) += "Path not specified";
        return;
    }
    if (path[path.Length()] == '\\') path.SetLength(path.Length() - 1);
    int64_t total = 0, free = 0, available = 0;
    errno = ENOENT;
    if (IsValidPath(path) && GetUNCDriveInfo(CPath(path), total, free, available)) {
        reply.SetResult(OWL_OK);
        reply.AddIntParam((long long)total);
        reply.AddIntParam((long long)free);
        reply.AddIntParam((long long)available);
        return;
    }
    char buffer[256];
    const char* text = strerror_r(errno, buffer, sizeof buffer);
    String message;
    message.CopyData(text, (int)strnlen(text, 255));
    reply.SetResult(OWL_CANNOT_PERFORM);
    reply.AddStringParam(message, VALUE_ESCAPED);
}

void ProcessTest_FolderSize(const RequestParams& params, OWLReply& reply) {
    String path = PathParam(params, 1, 8);
    int64_t size = GetFolderSize(path, Flag(params, 2));
    if (size < 0) {
        reply.SetResult(OWL_CANNOT_PERFORM) += "Folder/File doesn`t exist or access denied";
        return;
    }
    reply.SetResult(OWL_OK);
    reply.AddIntParam((long long)size);
}

void ProcessTest_FileExists(const RequestParams& params, OWLReply& reply) {
    String path = PathParam(params, 1, 7);
    int64_t size = 0;
    long changeTime = 0, modifyTime = 0;
    int ok = GetFileInfo(CPath(path), size, changeTime, modifyTime);
    if (!ok && IsValidPath(path)) {
        String match = GetFirstMatchedFile(path);
        if (match.Length() > 0) {
            path = match;
            ok = GetFileInfo(CPath(path), size, changeTime, modifyTime);
        }
    }
    if (!ok) {
        reply.SetResult(OWL_CANNOT_PERFORM) += "no such file or acess denied";
        return;
    }
    reply.SetResult(OWL_OK);
    reply.AddIntParam((long long)size);
    reply.AddTimeParam(changeTime);
    reply.AddTimeParam(modifyTime);
    reply.AddStringParam(owlOneLine(path), VALUE_AS_IS);
    reply.AddStringParam("min", VALUE_AS_IS);
    reply.AddIntParam((int)(((long)time(nullptr) - modifyTime) / 60));
}

void ProcessTest_FileCompare(const RequestParams& params, OWLReply& reply) {
    reply.SetResult(OWL_CANNOT_PERFORM) += "File doesn`t exist";
    String mode = params.GetParam(1, PARAM_TRIMMED);
    String first = PathParam(params, 2, FirstMacroPosition(mode));
    if (!RegularFile(first)) return;
    if (mode == "1")
        CompareTwoFiles(params, first, reply);
    else if (mode == "2")
        FindFileContent(params, first, reply);
    else if (mode == "3")
        FindText(params, first, reply);
    else
        reply.SetResult(OWL_BAD_PARAMETER) += "Wrong parameter";
}

void ProcessTest_FileCRC(const RequestParams& params, OWLReply& reply) {
    String path = params.GetParam(1, PARAM_TRIMMED);
    if (path.Length() > 0 && !IsValidPath(path)) {
        reply.SetResult(OWL_CANNOT_PERFORM) += "Cannot open file";
        return;
    }
    uint32_t crc = 0;
    String error;
    if (GetFileCRC(CPath(path), crc, error)) {
        reply.SetResult(OWL_OK);
        reply.AddIntParam((long long)crc);
        return;
    }
    reply.SetResult(OWL_CANNOT_PERFORM) += error;
}

void ProcessTest_CountFiles(const RequestParams& params, OWLReply& reply) {
    String folder = PathParam(params, 1, 11);
    String mask = params.GetParam(2, PARAM_TRIMMED);
    int recursive = Flag(params, 3);
    int mode = owlDecodeInt(params.GetParam(4, PARAM_TRIMMED));
    int value = 0;
    if (mode < cfAllFiles || mode > cfSubFolders ||
        !owlDecodeInt(params.GetParam(5, PARAM_TRIMMED), &value)) {
        reply.SetResult(OWL_BAD_PARAMETER) += "Wrong parameter";
        return;
    }
    int count = CountFiles(folder, mask, recursive, (TCountFilesMode)mode, value);
    if (count < 0) {
        reply.SetResult(OWL_CANNOT_PERFORM) += "Folder doesn`t exist or access denied";
        return;
    }
    reply.SetResult(OWL_OK);
    reply.AddIntParam(count);
}
