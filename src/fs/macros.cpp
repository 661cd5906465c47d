#include "fs/macros.h"

#include <string.h>

#include "fs/filesearch.h"

namespace {

struct TMacro {
    const char* text;  // lower case, as searched for
    int length;
    bool newest;
    bool folder;
};

const TMacro kMacros[] = {
    {"%newestfile%", 12, true, false},
    {"%oldestfile%", 12, false, false},
    {"%newestfolder%", 14, true, true},
    {"%oldestfolder%", 14, false, true},
};

// The macro that begins first in text, with its 1-based position; null when
// there is none.
const TMacro* FirstMacro(const String& lower, int& position) {
    const TMacro* first = nullptr;
    position = 0;
    for (const TMacro& macro : kMacros) {
        int p = lower.Pos(macro.text, macro.length);
        if (p > 0 && (first == nullptr || p < position)) {
            first = &macro;
            position = p;
        }
    }
    return first;
}

// The name of the entry that the macro picks in folder; false when there is
// none. The best time 0 also stands for "nothing taken yet".
bool PickEntry(const String& folder, const TMacro& macro, String& name) {
    TSearchRec rec;
    if (FindFirst(folder, String("*"), 63, rec) != 0) return false;
    int32_t bestTime = 0;
    bool taken = false;
    do {
        if (strcmp(rec.Name, ".") == 0 || strcmp(rec.Name, "..") == 0) continue;
        if (((rec.Attr & attrDirectory) != 0) != macro.folder) continue;
        bool better = macro.newest ? rec.Time > bestTime : rec.Time < bestTime;
        if (bestTime == 0 || better) {
            name = rec.Name;
            bestTime = rec.Time;
            taken = true;
        }
    } while (FindNext(rec) == 0);
    FindClose(rec);
    return taken;
}

}  // namespace

String GetFileUsingSpecialMacros(String path) {
    String prefix;
    String rest = path;
    String lower = path;
    lower.LowerCase();
    for (;;) {
        int position;
        const TMacro* macro = FirstMacro(lower, position);
        if (macro == nullptr) return prefix + rest;
        if (position > 1) prefix += rest.Copy(1, position - 1);
        rest.Delete(1, position - 1 + macro->length);
        lower.Delete(1, position - 1 + macro->length);
        String name;
        if (!PickEntry(prefix, *macro, name)) return path;
        prefix += name;
    }
}
