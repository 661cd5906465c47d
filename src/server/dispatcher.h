// The request dispatcher: checks the end mark, splits off the command line,
// applies the management and upgrade access rules and the command's enable
// switch ("600" when it is off), and calls the command's handler, all from
// one table. Each row's parameters and reply values are
// described by the row of the same name in protocol/commandref. Runs on
// session threads; several at once.
#pragma once

#include <netinet/in.h>

#include <string>
#include <vector>

#include "protocol/owlreply.h"
#include "protocol/qxrequest.h"
#include "protocol/requestparams.h"
#include "runtime/flags.h"
#include "server/upgrade.h"

struct ThreadParams {
    int Socket;
    in_addr Address;
};

// Every test, action and query handler has this form and writes exactly one
// outcome into reply.
typedef void (*OwlHandler)(const RequestParams& params, OWLReply& reply);

// Answers one decrypted request into reply. 1 when the command was
// recognised (whatever its outcome); 0 for a missing end mark, an empty or
// an unknown command.
int ProcessQXRequest(QXRequest& request, OWLReply& reply, TOWLFlags& flags, ThreadParams params,
                     UpgradeRec& upgrade);

// The command names of the table, in its order (for the command reference
// and its checks).
std::vector<std::string> DispatcherCommandNames();
