#include "server/dispatcher.h"

#include <string.h>

#include "config/ipfilter.h"
#include "config/settings.h"
#include "handlers/actions.h"
#include "handlers/filelist.h"
#include "handlers/files.h"
#include "handlers/manage.h"
#include "handlers/network.h"
#include "handlers/otherplatforms.h"
#include "handlers/scripts.h"
#include "handlers/textlog.h"
#include "runtime/log.h"
#include "text/codecs.h"

namespace {

enum Access { OPEN, MANAGE, UPGRADE };

// The switch that enables a command, and the reply when it is off.
struct Switch {
    int TOWLSettings::*flag;  // nullptr with a refusal: any file test's switch
    const char* refusal;      // nullptr: the command is always on
};
const char kTestOff[] = "test is not allowed";
const char kActionOff[] = "operation is not allowed";
constexpr Switch kAlwaysOn = {nullptr, nullptr};
constexpr Switch kAnyFileTest = {nullptr, kTestOff};
constexpr Switch Test(int TOWLSettings::*flag) { return {flag, kTestOff}; }
constexpr Switch Action(int TOWLSettings::*flag) { return {flag, kActionOff}; }

// The file list is on while any of the tests that take file names is.
int TOWLSettings::*const kFileTestSwitches[] = {
    &TOWLSettings::foldersize, &TOWLSettings::countfiles,   &TOWLSettings::fileexists,
    &TOWLSettings::filecrc,    &TOWLSettings::comparefiles, &TOWLSettings::textlog,
};

bool SwitchedOn(const Switch& s, const TOWLSettings& settings) {
    if (s.refusal == nullptr) return true;
    if (s.flag != nullptr) return settings.*(s.flag) != 0;
    for (int TOWLSettings::*key : kFileTestSwitches)
        if (settings.*key) return true;
    return false;
}

// What the commands that act on the agent itself get besides their
// parameters.
struct AgentContext {
    const QXRequest& request;  // the whole request (its session key)
    TOWLFlags& flags;
    UpgradeRec& upgrade;
};
typedef void (*AgentHandler)(const RequestParams& params, OWLReply& reply, AgentContext& agent);

void ReloadConfiguration(const RequestParams&, OWLReply& reply, AgentContext&) {
    String err;
    if (OWLSettings.LoadOptions(err))
        reply.SetResult(OWL_OK) += "Ok";
    else
        reply.SetResult(OWL_AGENT_FAILED) += err;
}

void ReloadApplication(const RequestParams&, OWLReply& reply, AgentContext& agent) {
    reply.SetResult(OWL_OK) += "Ok";
    agent.flags.Reload = 1;
}

void Quit(const RequestParams&, OWLReply& reply, AgentContext& agent) {
    reply.SetResult(OWL_OK) += "Ok";
    agent.flags.Terminate = 1;
}

void StartUpgrade(const RequestParams& params, OWLReply& reply, AgentContext& agent) {
    UpgradeRec& upgrade = agent.upgrade;
    if (!upgrade.RequestUpgrade(agent.request.GetSessionKey())) {
        reply.SetResult(OWL_UPGRADE_RUNNING);
        return;
    }
    upgrade.FileSize = owlDecodeInt64(params.GetParam(1, PARAM_TRIMMED));
    upgrade.SizeSet = 1;
    if (upgrade.FileSize > 100 && upgrade.FileSize < 10485760) {
        String err;
        if (DoUpgrading(upgrade, nullptr, 0, err))
            reply.SetResult(OWL_OK);
        else
            reply.SetResult(OWL_AGENT_FAILED) += err;
        return;
    }
    upgrade.ClearanceUpgrade();
    reply.SetResult(OWL_BAD_PARAMETER) += "Wrong file parameter(s)";
}

// A row has either a handler or, for the commands on the agent itself, an
// agent handler.
struct Command {
    const char* name;
    Access access;
    Switch enabled;
    OwlHandler handler;
    AgentHandler agentHandler;
};

using S = TOWLSettings;
// Matched exactly, in this order, against the trimmed first line.
const Command kCommands[] = {
    {"TEST-UNC", OPEN, Test(&S::unc), ProcessTest_UNC, nullptr},
    {"TEST-DiskSpace", OPEN, kAlwaysOn, ProcessTest_DiskSpace, nullptr},
    {"TEST-FolderSize", OPEN, Test(&S::foldersize), ProcessTest_FolderSize, nullptr},
    {"TEST-FileExists", OPEN, Test(&S::fileexists), ProcessTest_FileExists, nullptr},
    {"TEST-FileCompare", OPEN, Test(&S::comparefiles), ProcessTest_FileCompare, nullptr},
    {"TEST-FileCRC", OPEN, Test(&S::filecrc), ProcessTest_FileCRC, nullptr},
    {"TEST-CountFiles", OPEN, Test(&S::countfiles), ProcessTest_CountFiles, nullptr},
    {"TEST-Process", OPEN, Test(&S::process), ProcessTest_Process, nullptr},
    {"TEST-Service", OPEN, kAlwaysOn, ProcessTest_Service, nullptr},
    {"TEST-NTLog", OPEN, kAlwaysOn, ProcessTest_NTLog, nullptr},
    {"TEST-CPU", OPEN, Test(&S::cpuusage), ProcessTest_CPU, nullptr},
    {"TEST-PerfCounter", OPEN, kAlwaysOn, ProcessTest_Perf, nullptr},
    {"TEST-Script", OPEN, kAlwaysOn, ProcessTest_Script, nullptr},
    {"TEST-SNMP", OPEN, kAlwaysOn, ProcessTest_SNMP, nullptr},
    {"TEST-ExternalPrg", OPEN, Test(&S::external), ProcessTest_External, nullptr},
    {"TEST-Ping", OPEN, kAlwaysOn, ProcessTest_Ping, nullptr},
    {"TEST-TCP", OPEN, Test(&S::tcp), ProcessTest_TCP, nullptr},
    {"TEST-UDP", OPEN, Test(&S::udp), ProcessTest_UDP, nullptr},
    {"TEST-TextLog", OPEN, Test(&S::textlog), ProcessTest_TextLog, nullptr},
    {"TEST-TextLog2", OPEN, Test(&S::textlog), ProcessTest_TextLog2, nullptr},
    {"TEST-ShellScript", OPEN, Test(&S::shellscript), ProcessTest_ShellScript, nullptr},
    {"ACT-ExternalCmd", OPEN, Action(&S::executeaction), ProcessAct_ExternalCmd, nullptr},
    {"ACT-TCPUDPsend", OPEN, Action(&S::tcpudpaction), ProcessAct_TCPSend, nullptr},
    {"ACT-Syslog", OPEN, Action(&S::syslogaction), ProcessAct_Syslog, nullptr},
    {"GetProcessesList", OPEN, Test(&S::process), ProcessInfo_ProcessesList, nullptr},
    {"GetServicesList", OPEN, kAlwaysOn, ProcessInfo_ServicesList, nullptr},
    {"GetEventLogFiles", OPEN, kAlwaysOn, ProcessInfo_EventLogFiles, nullptr},
    {"GetEventLogSources", OPEN, kAlwaysOn, ProcessInfo_EventLogSources, nullptr},
    {"GetDriveList", OPEN, kAlwaysOn, ProcessInfo_GetDriveList, nullptr},
    {"GetFilesList", OPEN, kAnyFileTest, ProcessInfo_GetFileList, nullptr},
    {"GetInfo", OPEN, kAlwaysOn, GetAgentStatus, nullptr},
    {"GetSettings", MANAGE, kAlwaysOn, GetAgentSettings, nullptr},
    {"SetSettings", MANAGE, kAlwaysOn, SetAgentSettings, nullptr},
    {"ReloadCfg", MANAGE, kAlwaysOn, nullptr, ReloadConfiguration},
    {"ReloadApp", MANAGE, kAlwaysOn, nullptr, ReloadApplication},
    {"QUIT", MANAGE, kAlwaysOn, nullptr, Quit},
    {"UpgradeCode", UPGRADE, kAlwaysOn, nullptr, StartUpgrade},
};

const Command* FindCommand(const String& name) {
    for (const Command& command : kCommands)
        if (name == command.name) return &command;
    return nullptr;
}

// The management and upgrade rules: the switch and the peer's address list.
bool PeerAllowed(Access access, in_addr peer) {
    if (access == OPEN) return true;
    const TOWLSettings& settings = CurrentSettings();
    int on = access == MANAGE ? settings.allowmanage : settings.allowupdates;
    const String& list = access == MANAGE ? settings.manageaddr : settings.updateaddr;
    String ignored;
    return on && IPAllowed(peer.s_addr, list, ignored);
}

}  // namespace

std::vector<std::string> DispatcherCommandNames() {
    std::vector<std::string> names;
    for (const Command& command : kCommands) names.push_back(command.name);
    return names;
}

int ProcessQXRequest(QXRequest& request, OWLReply& reply, TOWLFlags& flags, ThreadParams params,
                     UpgradeRec& upgrade) {
    if (request.Pos('\r') == 0) {
        showmessage("EndOfTransmission signal missed\n", params.Address, MSG_FAILURE, MSG_LITERAL);
        reply.SetResult(OWL_NO_END_MARK) += "EndOfTransmission signal missed";
        return 0;
    }
    int lf = request.Pos('\n');
    String name = lf > 0 ? request.Copy(1, lf - 1) : String(request);
    name.Trim();
    if (name.Length() == 0) {
        showmessage("Void request received\n", params.Address, MSG_FAILURE, MSG_LITERAL);
        reply.SetResult(OWL_NOT_SUPPORTED) += "Void request received";
        return 0;
    }

    const Command* command = FindCommand(name);
    if (command == nullptr) {
        name.SetZero();
        showmessage("Unknown command \"%s\"\n", params.Address, MSG_FAILURE, MSG_PRINTF,
                    name.Data());
        reply.SetResult(OWL_NOT_SUPPORTED) += "Unknown command \"";
        reply += name;
        reply += "\"";
        return 0;
    }
    if (!PeerAllowed(command->access, params.Address)) {
        reply.SetResult(OWL_NOT_ALLOWED) += "Operation is not allowed";
        return 1;
    }
    if (!SwitchedOn(command->enabled, CurrentSettings())) {
        reply.SetResult(OWL_NOT_ALLOWED) += command->enabled.refusal;
        return 1;
    }
    RequestParams parameters(lf > 0 ? request.Copy(lf + 1, request.Length()) : String());
    if (command->handler != nullptr) {
        command->handler(parameters, reply);
    } else {
        AgentContext agent = {request, flags, upgrade};
        command->agentHandler(parameters, reply, agent);
    }
    return 1;
}
