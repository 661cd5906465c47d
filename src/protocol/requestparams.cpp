#include "protocol/requestparams.h"

#include <string.h>

RequestParams::RequestParams(const String& text) : text_(text) {
    const char* start = text_.Data();
    const char* end = start + text_.Length();
    for (const char* p = start; p < end;) {
        const char* lf = (const char*)memchr(p, '\n', end - p);
        if (lf == nullptr) break;
        breaks_.push_back((int)(lf - start));
        p = lf + 1;
    }
}

String RequestParams::GetParam(int index, int trim) const {
    const int line = index < 1 ? 0 : index - 1;  // from 0
    String result;
    if (line > (int)breaks_.size()) return result;
    const int from = line == 0 ? 0 : breaks_[line - 1] + 1;
    const int to = line < (int)breaks_.size() ? breaks_[line] : text_.Length();
    if (from >= text_.Length()) return result;
    result.CopyData(text_.Data() + from, to - from);
    if (trim) result.Trim();
    return result;
}
