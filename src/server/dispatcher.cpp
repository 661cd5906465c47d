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

// What the dispatcher does with a command besides calling its handler.
enum Builtin { HANDLER, RELOAD_CFG, RELOAD_APP, QUIT, UPGRADE_CODE };

struct Command {
    const char* name;
    OwlHandler handler;
    Access access;
    Builtin builtin;
};

// Matched exactly, in this order, against the trimmed first line.
const Command kCommands[] = {
    {"TEST-UNC", ProcessTest_UNC, OPEN, HANDLER},
    {"TEST-DiskSpace", ProcessTest_DiskSpace, OPEN, HANDLER},
    {"TEST-FolderSize", ProcessTest_FolderSize, OPEN, HANDLER},
    {"TEST-FileExists", ProcessTest_FileExists, OPEN, HANDLER},
    {"TEST-FileCompare", ProcessTest_FileCompare, OPEN, HANDLER},
    {"TEST-FileCRC", ProcessTest_FileCRC, OPEN, HANDLER},
    {"TEST-CountFiles", ProcessTest_CountFiles, OPEN, HANDLER},
    {"TEST-Process", ProcessTest_Process, OPEN, HANDLER},
    {"TEST-Service", ProcessTest_Service, OPEN, HANDLER},
    {"TEST-NTLog", ProcessTest_NTLog, OPEN, HANDLER},
    {"TEST-CPU", ProcessTest_CPU, OPEN, HANDLER},
    {"TEST-PerfCounter", ProcessTest_Perf, OPEN, HANDLER},
    {"TEST-Script", ProcessTest_Script, OPEN, HANDLER},
    {"TEST-SNMP", ProcessTest_SNMP, OPEN, HANDLER},
    {"TEST-ExternalPrg", ProcessTest_External, OPEN, HANDLER},
    {"TEST-Ping", ProcessTest_Ping, OPEN, HANDLER},
    {"TEST-TCP", ProcessTest_TCP, OPEN, HANDLER},
    {"TEST-UDP", ProcessTest_UDP, OPEN, HANDLER},
    {"TEST-TextLog", ProcessTest_TextLog, OPEN, HANDLER},
    {"TEST-TextLog2", ProcessTest_TextLog2, OPEN, HANDLER},
    {"TEST-ShellScript", ProcessTest_ShellScript, OPEN, HANDLER},
    {"ACT-ExternalCmd", ProcessAct_ExternalCmd, OPEN, HANDLER},
    {"ACT-TCPUDPsend", ProcessAct_TCPSend, OPEN, HANDLER},
    {"ACT-Syslog", ProcessAct_Syslog, OPEN, HANDLER},
    {"GetProcessesList", ProcessInfo_ProcessesList, OPEN, HANDLER},
    {"GetServicesList", ProcessInfo_ServicesList, OPEN, HANDLER},
    {"GetEventLogFiles", ProcessInfo_EventLogFiles, OPEN, HANDLER},
    {"GetEventLogSources", ProcessInfo_EventLogSources, OPEN, HANDLER},
    {"GetDriveList", ProcessInfo_GetDriveList, OPEN, HANDLER},
    {"GetFilesList", ProcessInfo_GetFileList, OPEN, HANDLER},
    {"GetInfo", GetAgentStatus, OPEN, HANDLER},
    {"GetSettings", GetAgentSettings, MANAGE, HANDLER},
    {"SetSettings", SetAgentSettings, MANAGE, HANDLER},
    {"ReloadCfg", nullptr, MANAGE, RELOAD_CFG},
    {"ReloadApp", nullptr, MANAGE, RELOAD_APP},
    {"QUIT", nullptr, MANAGE, QUIT},
    {"UpgradeCode", nullptr, UPGRADE, UPGRADE_CODE},
};

const Command* FindCommand(const String& name) {
    for (const Command& command : kCommands)
        if (name == command.name) return &command;
    return nullptr;
}

// The management and upgrade rules: the switch and the peer's address list.
bool PeerAllowed(Access access, in_addr peer) {
    if (access == OPEN) return true;
    int on;
    String list;
    {
        TSettingsReadLock lock;
        on = access == MANAGE ? OWLSettings.allowmanage : OWLSettings.allowupdates;
        list = access == MANAGE ? OWLSettings.manageaddr : OWLSettings.updateaddr;
    }
    String ignored;
    return on && IPAllowed(peer.s_addr, list, ignored);
}

void ReloadConfiguration(OWLReply& reply) {
    String err;
    if (OWLSettings.LoadOptions(err))
        reply.SetResult(OWL_OK) += "Ok";
    else
        reply.SetResult(OWL_AGENT_FAILED) += err;
}

void StartUpgrade(const QXRequest& params, OWLReply& reply, const QXRequest& request,
                  UpgradeRec& upgrade) {
    if (!upgrade.RequestUpgrade(request.GetSessionKey())) {
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
    QXRequest parameters;
    String name;
    int lf = request.Pos('\n');
    if (lf > 0) {
        parameters = request.Copy(lf + 1, request.Length());
        name = request.Copy(1, lf - 1);
    } else {
        name = request;
    }
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
    switch (command->builtin) {
        case HANDLER:
            command->handler(parameters, reply);
            break;
        case RELOAD_CFG:
            ReloadConfiguration(reply);
            break;
        case RELOAD_APP:
            reply.SetResult(OWL_OK) += "Ok";
            flags.Reload = 1;
            break;
        case QUIT:
            reply.SetResult(OWL_OK) += "Ok";
            flags.Terminate = 1;
            break;
        case UPGRADE_CODE:
            StartUpgrade(parameters, reply, request, upgrade);
            break;
    }
    return 1;
}
