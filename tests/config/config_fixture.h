// Test support for the configuration tests: a scratch folder with an "agent"
// file and a configuration file in it, and a record loaded from given text.
// For the test's own thread only.
#pragma once

#include <gtest/gtest.h>
#include <stdio.h>

#include <string>

#include "config/settings.h"
#include "support/agent.h"
#include "support/process.h"

namespace cfgtest {

// A TempDir with an "agent" file; Config() is the configuration file.
class Dir : public TempDir {
  public:
    Dir() { Write("agent", "#!/bin/sh\n"); }
    std::string Agent() const { return File("agent"); }
    std::string Config() const { return File("owl.cfg"); }
    std::string Text() const { return Read("owl.cfg"); }
    // The three lines that make a load succeed.
    std::string Required() const { return "password=secret\nport=1055\nowlpath=" + Agent() + "\n"; }
};

inline void SetConfigFile(TOWLSettings& settings, const std::string& path) {
    snprintf(settings.configfile, sizeof settings.configfile, "%s", path.c_str());
}

// A fresh record loaded from text written as the configuration file.
struct Loaded {
    TOWLSettings settings;
    int result = -1;
    std::string err;
};

inline Loaded Load(const Dir& dir, const std::string& text) {
    Loaded l;
    dir.Write("owl.cfg", text);
    SetConfigFile(l.settings, dir.Config());
    String err;
    l.result = l.settings.LoadOptions_(err);
    l.err = Str(err);
    return l;
}

// The value of a configuration key in a record, as text.
inline std::string Value(const TOWLSettings& settings, const char* key) {
    const TSettingKey* row = FindSettingKey(key, -1);
    return row ? Str(SettingValue(settings, *row)) : "<no such key>";
}

}  // namespace cfgtest
