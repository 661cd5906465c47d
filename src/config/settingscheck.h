// settingscheck: what an operator should hear about a configuration file
// that loads: keys the agent does not know (typos that would otherwise pass
// silently, as the loader must ignore keys of other versions), the shipped
// placeholder password, a host and port that cannot be bound, a filter that
// is off while management or upgrades are on, and address lists that do not
// parse. Only reports: the settings in force are never changed.
//
// Threads: every function works on its arguments only (and on the file it
// is given) and may run on any number of threads at once.
#pragma once

#include <string>
#include <vector>

#include "config/settings.h"

// The password that the shipped configuration template carries until the
// package's installation replaces it.
extern const char kPlaceholderPassword[];

// The known key nearest to name (ASCII case ignored, by edit distance), or
// null when none is close enough to be a likely typo.
const char* NearestSettingKey(const std::string& name);

// "" when a TCP socket can be bound to host (empty: every interface) and
// port right now, else what stops it ("address 127.0.0.1 port 1055: Address
// already in use").
std::string BindProblem(const std::string& host, int port);

// The warnings, in file order then in the order above, each one line without
// its line end ("line 3: unknown key 'hots' (did you mean 'host'?)").
// settings are the loaded values; path is the file they were loaded from.
// probeBind: also try to bind the host and port (owl -t; start-up proves
// the port itself).
std::vector<std::string> CheckSettings(const char* path, const TOWLSettings& settings,
                                       bool probeBind);
