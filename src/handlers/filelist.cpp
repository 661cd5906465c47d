#include "handlers/filelist.h"

#include <string.h>

#include "config/settings.h"
#include "fs/fileutils.h"
#include "text/codecs.h"

namespace {

bool Flag(const RequestParams& params, int position) {
    return owlDecodeBool(params.GetParam(position, PARAM_TRIMMED)) != 0;
}

struct TListRequest {
    String folder;
    String mask;
    int attr;
    int withSize, withChangeTime, withModifyTime;
};

// Appends the entries of one search of the request's folder whose directory
// bit is as wanted, "." left out; returns their number.
int AddEntries(OWLReply& lines, const TListRequest& request, const String& mask, bool folders) {
    int count = 0;
    TSearchRec rec;
    if (FindFirst(request.folder, mask, request.attr, rec) == 0) {
        do {
            if (((rec.Attr & attrDirectory) != 0) != folders) continue;
            if (folders && strcmp(rec.Name, ".") == 0) continue;
            AddFileStr(lines, request.folder, rec, request.withSize, request.withChangeTime,
                       request.withModifyTime);
            count++;
        } while (FindNext(rec) == 0);
    }
    FindClose(rec);
    return count;
}

// A folder that is not given with its "/" and is no directory stands for
// the folder it lies in.
String ListedFolder(String folder) {
    if (folder.Length() == 0) return String("/");
    if (folder[folder.Length()] != '/' &&
        !(IsValidPath(folder) && DirectoryExists(folder.SetZero().Data())))
        folder = ExtractFilePath(folder);
    return IncludeTrailingPathDelimiter(folder);
}

}  // namespace

void AddFileStr(OWLReply& reply, String folder, TSearchRec rec, int withSize, int withChangeTime,
                int withModifyTime) {
    reply.AddStringParam(owlOneLine(rec.Name), VALUE_AS_IS);
    reply.AddIntParam((int)rec.Attr);
    if (withSize) reply.AddIntParam((long long)rec.Size);
    if (withChangeTime) {
        String path = folder + rec.Name;
        int64_t size;
        long changeTime = 0, modifyTime;
        if (!IsValidPath(path) || !GetFileInfo(path.SetZero().Data(), size, changeTime, modifyTime))
            changeTime = 0;
        reply.AddTimeParam(changeTime);
    }
    if (withModifyTime) reply.AddTimeParam((long)rec.Time);
}

void ProcessInfo_GetFileList(const RequestParams& params, OWLReply& reply) {
    TListRequest request;
    request.folder = ListedFolder(params.GetParam(1, PARAM_TRIMMED));
    request.mask = params.GetParam(2, PARAM_TRIMMED);
    if (request.mask.Length() == 0) request.mask = "*";
    bool folders = Flag(params, 3), files = Flag(params, 4);
    request.attr = 63 - (Flag(params, 5) ? 0 : attrHidden) - (Flag(params, 6) ? 0 : attrSysFile);
    request.withSize = Flag(params, 7);
    request.withChangeTime = Flag(params, 8);
    request.withModifyTime = Flag(params, 9);

    // The entries are collected apart and follow the header lines.
    OWLReply lines;
    int count = 0;
    if (folders) count += AddEntries(lines, request, String("*"), true);
    if (files) count += AddEntries(lines, request, request.mask, false);
    reply.SetResult(OWL_OK);
    reply.AddStringParam(request.folder, VALUE_AS_IS);
    reply.AddIntParam(count);
    reply.AddIntParam(2 + request.withSize + request.withChangeTime + request.withModifyTime);
    reply += lines;
}
