// The file list: "GetFilesList" lists one folder's sub-folders and files for
// the console's file picker. Runs on session threads, several at once, with
// only local state.
#pragma once

#include "fs/filesearch.h"
#include "protocol/owlreply.h"
#include "protocol/requestparams.h"

// Appends the lines of one listed entry to reply: its name (not encoded),
// its attribute bits, then its size if withSize, the status-change time of
// folder + name (0 when the status call fails) if withChangeTime, and its
// modification time if withModifyTime. rec is a copy: the caller's search
// is neither advanced nor closed.
void AddFileStr(OWLReply& reply, String folder, TSearchRec rec, int withSize, int withChangeTime,
                int withModifyTime);

void ProcessInfo_GetFileList(const RequestParams& params, OWLReply& reply);
