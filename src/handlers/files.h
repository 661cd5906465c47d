// File and folder test handlers: "TEST-UNC" (free space of a file system),
// "TEST-FolderSize", "TEST-FileExists" (size and age of a file),
// "TEST-FileCompare" (two files, a file in a file, a text in a file),
// "TEST-FileCRC" and "TEST-CountFiles". Each reads its parameters by position and writes exactly
// one outcome. They run on session threads, several at once, and share only the settings, read
// under the settings lock.
#pragma once

#include "protocol/owlreply.h"
#include "protocol/requestparams.h"

void ProcessTest_UNC(const RequestParams& params, OWLReply& reply);
void ProcessTest_FolderSize(const RequestParams& params, OWLReply& reply);
void ProcessTest_FileExists(const RequestParams& params, OWLReply& reply);
void ProcessTest_FileCompare(const RequestParams& params, OWLReply& reply);
void ProcessTest_FileCRC(const RequestParams& params, OWLReply& reply);
void ProcessTest_CountFiles(const RequestParams& params, OWLReply& reply);
