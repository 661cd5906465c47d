// commandref: the operator's reference of every console command: its
// parameters by position (name, type, what an empty line means), the values
// of its reply in order, its refusals and an owlctl example. One row per
// row of the agent's command table, found by the command's name; owlctl
// labels reply values with it and docs/commands.md is generated from it.
//
// Threads: the table is constant after static initialisation; any thread
// may read it.
#pragma once

#include <string>
#include <vector>

struct TParamRef {
    int position;       // request line, from 1
    const char* name;   // what it carries
    const char* type;   // text, encoded text, int, int64, bool, ...
    const char* empty;  // what an empty line means
};

struct TValueRef {
    const char* name;
    const char* type;
    const char* meaning;
};

struct TCommandRef {
    const char* name;     // as the console sends it
    const char* family;   // files, logs, programs, network, actions, agent, other platforms
    const char* summary;  // one sentence
    const char* enable;   // configuration key that switches it on, or ""
    std::vector<TParamRef> params;
    std::vector<TValueRef> values;      // of the "200" reply; a last name ending in
                                        // "..." stands for every further line
    std::vector<TValueRef> failValues;  // of a "301" reply that carries values
    std::vector<const char*> refusals;  // "code text" of each refusal
    const char* example;                // owlctl arguments after the options
};

// Every row, in the order of the agent's command table.
extern const std::vector<TCommandRef> OWLCommandRefs;

// The row of a command (exact name), or null.
const TCommandRef* FindCommandRef(const std::string& name);

// The name of reply line index (from 0, after the status line) of a reply
// with status to command ref, or "" when the reference names none.
std::string ReplyValueName(const TCommandRef& ref, const std::string& status, size_t index);

// The whole reference as Markdown (docs/commands.md).
std::string CommandReferenceMarkdown();
