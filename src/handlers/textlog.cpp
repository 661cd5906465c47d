#include "handlers/textlog.h"

#include "config/settings.h"
#include "fs/filesearch.h"
#include "logsearch/logscan.h"
#include "text/codecs.h"

namespace {

// The matched-filter value of "TEST-TextLog2" when no line matched: false,
// as the main filter did not match.
const int kNoFilterMatched = 0;

// The scan state that travels between the console and the agent.
struct TLogState {
    long long readPos = 0, lastSize = 0, lastAge = 0, fileSize = 0;
    int matchedFilter = kNoFilterMatched;
};

// The log file of line 1. false with the reply written when no file
// matches.
bool OpenRequest(const RequestParams& params, String& path, OWLReply& reply) {
    path = GetFirstMatchedFile(params.GetParam(1, PARAM_TRIMMED));
    if (path.Length() == 0) {
        reply.SetResult(OWL_CANNOT_PERFORM) += "File does not exist";
        return false;
    }
    path.SetZero();
    return true;
}

// Reads the four request lines from position first on (text, expression
// flag, case-sensitive, whole word) into filter. Never fails.
void DecodeFilter(const RequestParams& request, TTextLogFilter& filter, int first) {
    filter.Text = owlDecodeStrings(request.GetParam(first, PARAM_TRIMMED));
    filter.Expression = owlDecodeBool(request.GetParam(first + 1, PARAM_TRIMMED)) ? 1 : 0;
    filter.CaseSensitive = owlDecodeBool(request.GetParam(first + 2, PARAM_TRIMMED));
    filter.WholeWord = owlDecodeBool(request.GetParam(first + 3, PARAM_TRIMMED));
}

// The read position, last size and last age from line first on. false with
// "501" written when one of them is not a decimal number.
bool DecodeState(const RequestParams& params, int first, TLogState& state, OWLReply& reply) {
    long long* fields[] = {&state.readPos, &state.lastSize, &state.lastAge};
    for (int i = 0; i < 3; i++)
        if (!owlDecodeInt64(params.GetParam(first + i, PARAM_TRIMMED), fields[i])) {
            reply.SetResult(OWL_BAD_PARAMETER) += "Wrong parameter";
            return false;
        }
    return true;
}

void AddState(OWLReply& reply, const TLogState& state, bool withFilter) {
    reply.AddIntParam(state.readPos);
    reply.AddIntParam(state.lastSize);
    reply.AddIntParam(state.lastAge);
    reply.AddIntParam(state.fileSize);
    if (withFilter) reply.AddBoolParam(state.matchedFilter);
}

// Runs scan (state, line, error) -> result and writes the reply. Without
// continue-after-match a second scan from the new state tells whether more
// matches wait; when one does, the console gets the first scan's state, so
// that its next check reports that match.
template <class Scan>
void AnswerScan(OWLReply& reply, TLogState state, int continueAfterMatch, bool withFilter,
                Scan scan) {
    String line, error;
    long long result = scan(state, line, error);
    if (result == -1) {
        reply.SetResult(OWL_CANNOT_PERFORM) += owlOneLine(error);  // may name the file
        return;
    }
    reply.SetResult(OWL_OK);
    reply.AddIntParam(result);
    reply.AddStringParam(line.Copy(1, kReportedLineLength), VALUE_ESCAPED);
    const TLogState first = state;
    if (!continueAfterMatch && scan(state, line, error) > 0) {
        reply.AddBoolParam(1);
        AddState(reply, first, withFilter);
        return;
    }
    reply.AddBoolParam(0);
    AddState(reply, continueAfterMatch ? first : state, withFilter);
}

}  // namespace

void ProcessTest_TextLog(const RequestParams& params, OWLReply& reply) {
    String path;
    if (!OpenRequest(params, path, reply)) return;
    String text = owlDecodeStrings(params.GetParam(2, PARAM_TRIMMED));
    TLogState state;
    if (!DecodeState(params, 3, state, reply)) return;
    int expression = owlDecodeBool(params.GetParam(6, PARAM_TRIMMED));
    int continueAfterMatch = owlDecodeBool(params.GetParam(7, PARAM_TRIMMED));
    int caseSensitive = owlDecodeBool(params.GetParam(8, PARAM_TRIMMED));
    int wholeWord = owlDecodeBool(params.GetParam(9, PARAM_TRIMMED));
    AnswerScan(reply, state, continueAfterMatch, false,
               [&](TLogState& s, String& line, String& error) {
                   return CheckFileForExpression(path.Data(), text, s.readPos, s.lastSize,
                                                 s.lastAge, expression, continueAfterMatch,
                                                 caseSensitive, wholeWord, line, error, s.fileSize);
               });
}

void ProcessTest_TextLog2(const RequestParams& params, OWLReply& reply) {
    String path;
    if (!OpenRequest(params, path, reply)) return;
    TLogState state;
    if (!DecodeState(params, 2, state, reply)) return;
    int continueAfterMatch = owlDecodeBool(params.GetParam(5, PARAM_TRIMMED));
    TTextLogFilter mainFilter, secondFilter;
    DecodeFilter(params, mainFilter, 6);
    int useSecond = owlDecodeBool(params.GetParam(10, PARAM_TRIMMED));
    if (useSecond) DecodeFilter(params, secondFilter, 11);
    AnswerScan(
        reply, state, continueAfterMatch, true, [&](TLogState& s, String& line, String& error) {
            return CheckFileForExpression2(path.Data(), s.readPos, s.lastSize, s.lastAge,
                                           mainFilter, secondFilter, useSecond, continueAfterMatch,
                                           s.matchedFilter, line, error, s.fileSize);
        });
}
