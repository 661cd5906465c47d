#include "protocol/commandref.h"

namespace {

// Refusals shared by many commands.
const char kTestOff[] = "600 test is not allowed";
const char kActionOff[] = "600 operation is not allowed";
const char kManageOff[] =
    "600 Operation is not allowed (allowmanage=0, or the peer is not in manageaddr)";
const char kWrong[] = "501 Wrong parameter";
const char kOtherPlatform[] = "500 Not applicable for UNIX/Linux";
const char kNotYet[] = "500 not implemented yet";

// Times travel as 14 digits: day, month, year, hour, minute, second (local).
const char kTime[] = "time";

TCommandRef Refused(const char* name, const char* why, const char* summary) {
    return {name, "other platforms", summary, "", {}, {}, {}, {why}, name};
}

const TValueRef kTcpFailure[] = {{"error", "text", "why the exchange failed (\"Timeout\", ...)"},
                                 {"code", "int", "0 time-out, negative: other failures"}};

// The scan state that the console sends back with its next check.
const std::vector<TValueRef> kLogValues = {
    {"result", "int64", "0 when no new line matched, else the position of the reported match"},
    {"line", "encoded text", "the matching line, at most 1024 bytes; empty when none"},
    {"more", "bool", "1 when more matches wait: check again at once"},
    {"read position", "int64", "send back as parameter read position"},
    {"last size", "int64", "send back as parameter last size"},
    {"last age", "int64", "send back as parameter last age"},
    {"file size", "int64", "the size of the file now"},
};

std::vector<TValueRef> LogValues2() {
    std::vector<TValueRef> values = kLogValues;
    values.push_back({"matched filter", "bool", "1: the main filter matched, 0: the second"});
    return values;
}

const std::vector<TValueRef> kInfoValues = {
    {"AgentName", "text", "identity: name"},
    {"AgentPlatform", "text", "identity: platform"},
    {"AgentVersion", "text", "identity: version"},
    {"AgentDeveloper", "text", "identity: developer"},
    {"Service", "bool", "always 0 on this platform"},
    {"Active", "bool", "always 0 on this platform"},
    {"ActiveConnections", "int", "sessions running now"},
    {"OpenedConnections", "int", "sessions since start"},
    {"FailedConnections", "int", "connections refused or failed since start"},
    {"Available tests", "encoded text", "the offered tests, each followed by CR LF"},
    {"Enabled tests", "text", "one 0/1 per offered test, same order"},
    {"Port", "int", "the listening port"},
    {"Timeout", "int", "session time-out in ms"},
    {"Comment", "text", "the comment setting"},
    {"Available actions", "encoded text", "the offered actions, each followed by CR LF"},
    {"Enabled actions", "text", "one 0/1 per offered action"},
    {"HostName", "text", "host name (this and the next two missing when uname fails)"},
    {"RunningOS", "text", "system name, release and version"},
    {"OSUpdates", "text", "\"not implemented\""},
};

std::vector<TValueRef> SettingsValues() {
    std::vector<TValueRef> values = kInfoValues;
    values.insert(values.end(),
                  {{"LogOkConn", "bool", "logsuccess"},
                   {"LogBadConn", "bool", "logfails"},
                   {"OkLogFile", "text", "oklogfile"},
                   {"BadLogFile", "text", "badlogfile"},
                   {"Password", "text", "password, in plain text inside the encrypted reply"},
                   {"IPFiltering", "bool", "filteractive"},
                   {"IPFilterAddr", "encoded text", "filterlist, items separated by CR LF"},
                   {"IPFilterMarks", "text", "filtermarks"},
                   {"AllowUpdates", "bool", "allowupdates"},
                   {"AllowRManage", "bool", "allowmanage"},
                   {"UpdateAddr", "text", "updateaddr"},
                   {"ManageAddr", "text", "manageaddr"}});
    return values;
}

const char kMacros[] = "use file-name macros on parameter 1";

}  // namespace

// clang-format off
const std::vector<TCommandRef> OWLCommandRefs = {
    {"TEST-UNC", "files", "Free space of the file system that holds a path.", "unc",
     {{1, "path (one trailing backslash is dropped)", "text", "refused: 501 Path not specified"}},
     {{"total", "int64", "size of the file system in bytes"},
      {"free", "int64", "free bytes"},
      {"available", "int64", "bytes available to unprivileged users"}},
     {{"error", "encoded text", "the system's message"}},
     {kTestOff, "501 Path not specified", "301 with the system's message as a value"},
     "TEST-UNC /var"},
    Refused("TEST-DiskSpace", kOtherPlatform, "Drive space of another platform; use TEST-UNC."),
    {"TEST-FolderSize", "files", "Size of a folder tree, or of the files that match a pattern.",
     "foldersize",
     {{1, "folder, or folder/pattern", "text", "refused: 301"},
      {2, "recursive", "bool", "0"},
      {8, kMacros, "bool", "0"}},
     {{"size", "int64", "bytes"}},
     {},
     {kTestOff, "301 Folder/File doesn`t exist or access denied"},
     "TEST-FolderSize /var/log 1"},
    {"TEST-FileExists", "files", "Presence, size and age of a file (or the first match of a pattern).",
     "fileexists",
     {{1, "path; wildcards allowed in the last component", "text", "refused (no such file)"},
      {7, kMacros, "bool", "0"}},
     {{"size", "int64", "bytes"},
      {"changed", kTime, "status-change time"},
      {"modified", kTime, "modification time"},
      {"path", "text", "the path examined (the match of a pattern)"},
      {"unit", "text", "\"min\""},
      {"age", "int", "minutes since the modification (negative: in the future)"}},
     {},
     {kTestOff, "301 no such file or acess denied"},
     "TEST-FileExists /etc/passwd"},
    {"TEST-FileCompare", "files",
     "Compares two files (mode 1), finds a file's content in another (2) or a text in a file (3).",
     "comparefiles",
     {{1, "mode: 1 compare, 2 find file in file, 3 find text in file", "text", "refused: 501"},
      {2, "first file (the one searched)", "text", "refused: 301 File doesn`t exist"},
      {3, "second file (modes 1, 2) or text to find (mode 3)", "text", "mode 3: 301 I/O Error"},
      {4, "mode 1: compare modification times; mode 3: case-sensitive", "bool", "0"},
      {5, "mode 1: compare sizes; mode 3: whole words only", "bool", "0"},
      {6, "mode 1: compare contents", "bool", "0"},
      {9, "mode 2: use macros on the first file", "bool", "0"},
      {11, "mode 3: use macros on the first file", "bool", "0"},
      {12, "mode 1: use macros on the first file", "bool", "0"},
      {13, "mode 1: use macros on the second file", "bool", "0"}},
     {{"result", "bool", "1: the same (mode 1) or found (modes 2, 3)"}},
     {},
     {kTestOff, "301 File doesn`t exist", "301 I/O Error",
      "301 The size of the second file cannot exceed 8Mb", kWrong},
     "TEST-FileCompare 1 /etc/hosts /etc/hosts.bak 0 1 1"},
    {"TEST-FileCRC", "files", "CRC-32 of a file.", "filecrc",
     {{1, "path (no wildcards, no macros)", "text", "refused: 301 File is not specified"}},
     {{"crc", "int64", "CRC-32 as an unsigned number"}},
     {},
     {kTestOff, "301 File is not specified", "301 Cannot open file", "301 Read error"},
     "TEST-FileCRC /etc/passwd"},
    {"TEST-CountFiles", "files", "Number of files by age, size or kind.", "countfiles",
     {{1, "folder", "text", "nothing is counted: 0"},
      {2, "mask", "text", "none matches"},
      {3, "recursive", "bool", "0"},
      {4, "mode: 0 all, 1 older than, 2 newer than (minutes), 3 bigger than, 4 smaller than "
          "(bytes), 5 sub-folders", "int", "0"},
      {5, "value: minutes or bytes", "int", "0"},
      {11, kMacros, "bool", "0"}},
     {{"count", "int", "matching entries"}},
     {},
     {kTestOff, kWrong, "301 Folder doesn`t exist or access denied"},
     "TEST-CountFiles /var/log *.log 0 1 60"},
    {"TEST-Process", "programs", "Number of running instances of a process (proccntscript).",
     "process",
     {{1, "not read", "text", "-"},
      {2, "process name (handed to the shell unquoted)", "text",
       "refused: 501 Name of the process is not specified"}},
     {{"count", "int", "what the script printed"}},
     {},
     {kTestOff, "301 ProcCnt script is not speified", "301 ProcCnt script doesn't exist",
      "501 Name of the process is not specified", "301 cannot get temp file",
      "301 Cannot execute script", "301 Cannot get script results", "301 Script error"},
     "TEST-Process \"\" sshd"},
    Refused("TEST-Service", kOtherPlatform, "Service state of another platform."),
    Refused("TEST-NTLog", kOtherPlatform, "Event log of another platform."),
    {"TEST-CPU", "programs", "CPU usage in percent (cpuusagescript).", "cpuusage",
     {},
     {{"usage", "real", "what the script printed, as %6.4f"}},
     {},
     {kTestOff, "301 CPUUsage script is not speified", "301 CPUUsage script doesn't exist",
      "301 cannot get temp file", "301 Cannot execute script", "301 Cannot get script results",
      "301 Script error"},
     "TEST-CPU"},
    Refused("TEST-PerfCounter", kOtherPlatform, "Performance counter of another platform."),
    Refused("TEST-Script", kNotYet, "Script test of another platform; use TEST-ShellScript."),
    Refused("TEST-SNMP", kNotYet, "SNMP query; not offered."),
    {"TEST-ExternalPrg", "programs", "Runs a program and reports its exit code.", "external",
     {{1, "command line (program and arguments)", "text",
       "refused: 501 Command line to execute is not specified"},
      {2, "working folder", "text", "the agent's own folder"},
      {4, "time-out in ms: positive limit, 0 none, -1 do not wait", "int", "0 (no limit)"}},
     {{"exit code", "int", "the program's exit code (0 when not waited for)"}},
     {},
     {kTestOff, kWrong, "501 Command line to execute is not specified",
      "301 the runner's error (\"abnormal termination\" at the time-out, \"exec error: ...\")"},
     "TEST-ExternalPrg \"/bin/true\" \"\" \"\" 5000"},
    Refused("TEST-Ping", kNotYet, "Ping; not offered (use TEST-TCP)."),
    {"TEST-TCP", "network", "Connects to a TCP service, sends data and reads the answer.", "tcp",
     {{1, "host name or address", "text", "the exchange fails"},
      {2, "port", "int", "0"},
      {3, "time-out in ms", "int", "120000"},
      {4, "data to send", "encoded text", "nothing is sent"},
      {5, "bytes to receive at most (cut to 8192)", "int", "0: nothing is read"}},
     {{"elapsed", "int", "milliseconds of the exchange"},
      {"received", "encoded text", "the bytes received"}},
     {kTcpFailure[0], kTcpFailure[1]},
     {kTestOff, kWrong, "301 with the error text and code as values"},
     "TEST-TCP 127.0.0.1 22 3000 \"\" 64"},
    {"TEST-UDP", "network", "Sends a datagram to a UDP service and reads the answer.", "udp",
     {{1, "host name or address", "text", "the exchange fails"},
      {2, "port", "int", "0"},
      {3, "time-out in ms per attempt (whole seconds, at least 1)", "int", "1 s"},
      {4, "attempts", "int", "refused: 501"},
      {5, "data to send", "encoded text", "refused: 501"},
      {6, "bytes to receive at most (cut to 8192)", "int", "0: nothing is read"}},
     {{"elapsed", "int", "milliseconds of the successful attempt"},
      {"received", "encoded text", "the bytes received"}},
     {kTcpFailure[0], kTcpFailure[1]},
     {kTestOff, kWrong, "301 with the error text and code as values"},
     "TEST-UDP 127.0.0.1 53 2000 3 hello 512"},
    {"TEST-TextLog", "logs",
     "New lines of a text log that match a string or an expression; the console sends back the "
     "state of the previous reply.",
     "textlog",
     {{1, "log file; wildcards allowed in the last component", "text",
       "refused: 301 File does not exist"},
      {2, "search string or expression", "encoded text", "nothing matches"},
      {3, "read position", "int64", "0 (first check)"},
      {4, "last size", "int64", "0"},
      {5, "last age", "int64", "0"},
      {6, "expression mode", "bool", "0"},
      {7, "continue after a match", "bool", "0"},
      {8, "case-sensitive", "bool", "0"},
      {9, "whole word", "bool", "0"}},
     kLogValues,
     {},
     {kTestOff, "301 File does not exist", kWrong, "301 the scan's error (\"Cannot open file\", ...)"},
     "TEST-TextLog /var/log/syslog error 0 0 0"},
    {"TEST-TextLog2", "logs",
     "As TEST-TextLog with a main filter and an optional second filter.", "textlog",
     {{1, "log file; wildcards allowed in the last component", "text",
       "refused: 301 File does not exist"},
      {2, "read position", "int64", "0 (first check)"},
      {3, "last size", "int64", "0"},
      {4, "last age", "int64", "0"},
      {5, "continue after a match", "bool", "0"},
      {6, "main filter: text", "encoded text", "nothing matches"},
      {7, "main filter: expression mode", "bool", "0"},
      {8, "main filter: case-sensitive", "bool", "0"},
      {9, "main filter: whole word", "bool", "0"},
      {10, "use the second filter", "bool", "0: 11 to 14 not read"},
      {11, "second filter: text", "encoded text", "nothing matches"},
      {12, "second filter: expression mode", "bool", "0"},
      {13, "second filter: case-sensitive", "bool", "0"},
      {14, "second filter: whole word", "bool", "0"}},
     LogValues2(),
     {},
     {kTestOff, "301 File does not exist", kWrong, "301 the scan's error (\"Cannot open file\", ...)"},
     "TEST-TextLog2 /var/log/syslog 0 0 0 0 error"},
    {"TEST-ShellScript", "programs",
     "Runs a script that the console sends and returns its result line and output.", "shellscript",
     {{1, "start command; %script% is the script file, %params% the parameters", "text",
       "the script's run fails"},
      {2, "script text", "encoded text", "an empty script"},
      {3, "parameters text", "encoded text", "none"},
      {4, "time-out in seconds", "int", "0: no limit"},
      {5, "output lines to return", "int", "0: none"}},
     {{"result line", "encoded text", "the first line beginning with scriptres:, else the last line"},
      {"output", "encoded text", "the first lines asked for, each followed by CR LF"}},
     {},
     {kTestOff, "301 Cannot get temp file", "301 Cannot create temp file",
      "301 Cannot set exec flag for script", "301 Script execution error: ...",
      "301 Cannot get script results"},
     "TEST-ShellScript \"/bin/sh %script% %params%\" \"echo scriptres: ok\" \"\" 10 5"},
    {"ACT-ExternalCmd", "actions", "Runs a command on the agent's host.", "executeaction",
     {{1, "command line (program and arguments)", "text",
       "refused: 501 Command line to execute is not specified"},
      {2, "working folder", "text", "the agent's own folder"},
      {3, "a decimal number without effect", "int", "0"},
      {4, "time-out in ms: positive limit, 0 none, -1 do not wait", "int", "0 (no limit)"}},
     {{"exit code", "int", "the command's exit code (0 when not waited for)"}},
     {},
     {kActionOff, kWrong, "501 Command line to execute is not specified", "301 the runner's error"},
     "ACT-ExternalCmd \"/usr/bin/logger hello\" /tmp 0 5000"},
    {"ACT-TCPUDPsend", "actions", "Sends one or two messages to a TCP or UDP service.",
     "tcpudpaction",
     {{1, "host name or address", "text", "refused: 501"},
      {2, "port", "int", "0"},
      {3, "protocol: 0 TCP, anything else UDP", "text", "UDP"},
      {4, "first message", "encoded text", "refused: 501"},
      {5, "pause in seconds before the second message", "int", "0"},
      {6, "second message", "encoded text", "none"}},
     {{"text", "text", "\"Data has been sent\""}},
     {},
     {kActionOff, kWrong, "301 the socket's error"},
     "ACT-TCPUDPsend 127.0.0.1 9999 1 hello"},
    {"ACT-Syslog", "actions", "Sends a syslog message (tag \"VT OWL\").", "syslogaction",
     {{1, "syslog server: host name or address", "text", "refused: 501"},
      {2, "port", "int", "0"},
      {3, "facility", "int", "0"},
      {4, "severity, 0 to 7", "int", "0"},
      {5, "message", "encoded text", "an empty message"}},
     {{"text", "text", "\"Syslog: Data to <host> has been sent\""}},
     {},
     {kActionOff, kWrong, "301 the sender's error (\"Cannot resolve server name to IP address\", ...)"},
     "ACT-Syslog 127.0.0.1 514 1 6 hello"},
    {"GetProcessesList", "programs", "The running processes (proclistscript).", "process",
     {},
     {{"processes", "encoded text", "the script's lines, each followed by CR LF"}},
     {},
     {kTestOff, "301 ProcList script is not speified", "301 ProcList script doesn't exist",
      "301 Cannot execute script"},
     "GetProcessesList"},
    Refused("GetServicesList", kOtherPlatform, "Services of another platform."),
    Refused("GetEventLogFiles", kOtherPlatform, "Event logs of another platform."),
    Refused("GetEventLogSources", kOtherPlatform, "Event log sources of another platform."),
    Refused("GetDriveList", kNotYet, "Drives of another platform; use GetFilesList."),
    {"GetFilesList", "files", "One folder's sub-folders and files, for picking what to watch.",
     "any of foldersize, countfiles, fileexists, filecrc, comparefiles, textlog",
     {{1, "folder (a file or pattern lists its folder)", "text", "/"},
      {2, "mask for files", "text", "*"},
      {3, "list sub-folders (\"..\" included)", "bool", "0"},
      {4, "list files", "bool", "0"},
      {5, "include hidden entries", "bool", "0"},
      {6, "include system entries", "bool", "0"},
      {7, "with sizes", "bool", "0"},
      {8, "with change times", "bool", "0"},
      {9, "with modification times", "bool", "0"}},
     {{"folder", "text", "the folder listed, ending in /"},
      {"count", "int", "entries that follow"},
      {"lines per entry", "int", "2 + one per flag 7 to 9"},
      {"entry lines...", "text", "per entry: name, attributes (16 folder, 64 link), then size, "
                                 "change time, modification time as asked; folders first"}},
     {},
     {kTestOff},
     "GetFilesList /var/log \"*\" 1 1 0 0 1 0 1"},
    {"GetInfo", "agent", "The agent's identity, counters, offered tests and actions, host.", "",
     {},
     kInfoValues,
     {},
     {},
     "GetInfo"},
    {"GetSettings", "agent", "The GetInfo lines followed by the logging, password, filter and "
     "permission settings.", "allowmanage",
     {},
     SettingsValues(),
     {},
     {kManageOff},
     "GetSettings"},
    {"SetSettings", "agent",
     "Sets settings by their remote names (the GetSettings keys, the tests of GetInfo, Port, "
     "Timeout) and rewrites the configuration file.", "allowmanage",
     {{1, "Name=value (one per line; unknown names are ignored)", "text", "skipped"},
      {2, "Name=value, and so on", "text", "skipped"}},
     {},
     {},
     {kManageOff, "300 the save's error (\"Cannot open configuration file '...'\", ...)",
      "501 Wrong parameter (too many lines)"},
     "SetSettings \"Comment=rack 7\" \"Text Log=1\""},
    {"ReloadCfg", "agent", "Reloads the configuration file.", "allowmanage",
     {},
     {{"text", "text", "\"Ok\""}},
     {},
     {kManageOff, "300 the load's error (the agent keeps its settings)"},
     "ReloadCfg"},
    {"ReloadApp", "agent", "Restarts the agent with the same command line.", "allowmanage",
     {},
     {{"text", "text", "\"Ok\""}},
     {},
     {kManageOff},
     "ReloadApp"},
    {"QUIT", "agent", "Stops the agent.", "allowmanage",
     {},
     {{"text", "text", "\"Ok\""}},
     {},
     {kManageOff},
     "QUIT"},
    {"UpgradeCode", "agent",
     "Replaces the agent's executable; owlctl's upgrade FILE carries out the whole conversation.",
     "allowupdates",
     {{1, "size of the new executable in bytes (101 to 10485759)", "int64", "refused: 501"}},
     {},
     {},
     {"600 Operation is not allowed (allowupdates=0, or the peer is not in updateaddr)",
      "302 (another upgrade is running)", "501 Wrong file parameter(s)", "300 the transfer's error"},
     "upgrade ./owl"},
};
// clang-format on

const TCommandRef* FindCommandRef(const std::string& name) {
    for (const TCommandRef& ref : OWLCommandRefs)
        if (name == ref.name) return &ref;
    return nullptr;
}

std::string ReplyValueName(const TCommandRef& ref, const std::string& status, size_t index) {
    const std::vector<TValueRef>* values = &ref.values;
    if (status != "200") {
        if (status != "301" || ref.failValues.empty()) return index == 0 ? "reason" : "";
        values = &ref.failValues;
    }
    if (index < values->size()) return (*values)[index].name;
    std::string last = values->empty() ? "" : values->back().name;
    bool repeats = last.size() > 3 && last.compare(last.size() - 3, 3, "...") == 0;
    return repeats ? last : "";
}

namespace {

// A table cell: "|" would end the cell.
std::string Cell(const std::string& text) {
    std::string out;
    for (char c : text) out += c == '|' ? std::string("\\|") : std::string(1, c);
    return out;
}

void ValueTable(std::string& md, const std::vector<TValueRef>& values) {
    md += "| # | value | type | meaning |\n|---|---|---|---|\n";
    for (size_t i = 0; i < values.size(); i++)
        md += "| " + std::to_string(i + 1) + " | " + Cell(values[i].name) + " | " + values[i].type +
              " | " + Cell(values[i].meaning) + " |\n";
}

void CommandSection(std::string& md, const TCommandRef& ref) {
    md += std::string("\n### ") + ref.name + "\n\n" + ref.summary + "\n";
    if (*ref.enable) md += std::string("Switched on by `") + ref.enable + "`.\n";
    if (!ref.params.empty()) {
        md += "\n| line | parameter | type | when empty |\n|---|---|---|---|\n";
        for (const TParamRef& p : ref.params)
            md += "| " + std::to_string(p.position) + " | " + Cell(p.name) + " | " + p.type +
                  " | " + Cell(p.empty) + " |\n";
    } else if (std::string(ref.family) != "other platforms") {
        md += "\nNo parameters.\n";
    }
    if (!ref.values.empty()) {
        md += "\nReply `200`, in order:\n\n";
        ValueTable(md, ref.values);
    }
    if (!ref.failValues.empty()) {
        md += "\nReply `301`, in order:\n\n";
        ValueTable(md, ref.failValues);
    }
    if (!ref.refusals.empty()) {
        md += "\nRefusals:\n\n";
        for (const char* r : ref.refusals) {
            std::string text = r;
            size_t space = text.find(' ');
            md += "- `" + text.substr(0, space) + "`" +
                  (space == std::string::npos ? "" : text.substr(space)) + "\n";
        }
    }
    md += std::string("\nExample:\n\n    owlctl ") + ref.example + "\n";
}

}  // namespace

std::string CommandReferenceMarkdown() {
    std::string md =
        "# Console commands\n\n"
        "Generated by `owlctl --explain-all` from the agent's command reference; a test\n"
        "fails when this file differs from it.\n\n"
        "Parameters travel one per line, by position from 1; a position that a\n"
        "command does not list is not read, and owlctl sends an empty line for each\n"
        "`\"\"`. bool is 1 (anything else is 0), int and int64 are decimal, encoded\n"
        "text carries CR and LF as `%0D` and `%0A`, time is 14 digits: day, month,\n"
        "year, hour, minute, second (local time). Every command of the table may also\n"
        "be refused before it runs: `500` for an unknown command, `502` without the\n"
        "end mark. `owlctl --explain COMMAND ...` labels each reply value with the\n"
        "names below. The examples leave out the options (`-h`, `-p`, `-W` or `-c`).\n";
    const char* families[] = {"files",   "logs",  "programs",       "network",
                              "actions", "agent", "other platforms"};
    for (const char* family : families) {
        md += std::string("\n## ") + (char)(family[0] - 'a' + 'A') + (family + 1) + "\n";
        for (const TCommandRef& ref : OWLCommandRefs)
            if (std::string(ref.family) == family) CommandSection(md, ref);
    }
    return md;
}
