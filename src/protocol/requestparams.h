// RequestParams: the parameter lines of one request, the text after its
// command line, with the place of every line found once when it is built,
// so that a handler reads any line without scanning from the top. The
// dispatcher builds it from the decrypted request; handlers only read it. It
// belongs to its session thread.
#pragma once

#include <vector>

#include "text/vtstring.h"

// The trim argument of GetParam: the line as the console sent it, or without
// the blank bytes at both ends.
enum ParamTrim { PARAM_AS_SENT = 0, PARAM_TRIMMED = 1 };

class RequestParams {
  public:
    RequestParams() = default;
    explicit RequestParams(const String& text);

    // The lines as they came, each ending in LF, and any bytes after the
    // last LF.
    const String& Text() const { return text_; }
    // The number of LF bytes in the text.
    int GetParamsCount() const { return (int)breaks_.size(); }
    // Line index (from 1; 1 or below is the first line) without its LF;
    // empty beyond the last line. trim strips blank bytes at both ends.
    String GetParam(int index, int trim) const;

  private:
    String text_;
    std::vector<int> breaks_;  // the offset of every LF, in order
};
