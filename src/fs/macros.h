// macros: GetFileUsingSpecialMacros, which resolves the file-name macros
// "%newestfile%", "%oldestfile%", "%newestfolder%" and "%oldestfolder%" (any
// letter case) in a path to the newest or oldest file or sub-folder of the
// folder written in front of each. Reentrant: only locals and its own
// search record.
#pragma once

#include "text/vtstring.h"

// The path with every macro replaced, left to right, by the name of the
// entry it picks in the folder formed by everything before it (an empty
// folder is the working directory). Ties go to the entry the folder lists
// first; symbolic links are never picked. Returns the input unchanged when
// it holds no macro or when any macro cannot be resolved (missing or
// unreadable folder, no entry of the right kind).
String GetFileUsingSpecialMacros(String path);
