// Test support for the configuration tests: a temporary folder under /tmp
// that is removed again, whole-file reads and writes that keep every byte,
// and a record that names a configuration file.
#pragma once

#include <ftw.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "config/settings.h"
#include "text/vtstring.h"

namespace cfgtest {

inline std::string S(const String& s) { return std::string(s.Data() ? s.Data() : "", s.Length()); }

inline void WriteFile(const std::string& path, const std::string& bytes) {
    FILE* f = fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr) << path;
    ASSERT_EQ(fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
    fclose(f);
}

inline std::string ReadFile(const std::string& path) {
    std::string bytes;
    FILE* f = fopen(path.c_str(), "rb");
    if (f == nullptr) return "<missing>";
    char block[4096];
    size_t n;
    while ((n = fread(block, 1, sizeof(block), f)) > 0) bytes.append(block, n);
    fclose(f);
    return bytes;
}

inline bool Exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// A folder /tmp/owlcfg-XXXXXX with an executable "agent" file in it, removed
// with everything in it at the end.
class TempDir {
  public:
    TempDir() {
        char name[] = "/tmp/owlcfg-XXXXXX";
        if (mkdtemp(name) != nullptr) path_ = name;
        WriteFile(Agent(), "#!/bin/sh\n");
    }
    ~TempDir() { Remove(); }
    // Removes the folder now (a test process that ends with exit() calls it).
    void Remove() {
        if (!path_.empty())
            nftw(
                path_.c_str(),
                [](const char* p, const struct stat*, int, struct FTW*) { return remove(p); }, 16,
                FTW_DEPTH | FTW_PHYS);
        path_.clear();
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string File(const std::string& name) const { return path_ + "/" + name; }
    std::string Agent() const { return File("agent"); }
    std::string Config() const { return File("owl.cfg"); }
    // The three lines that make a load succeed.
    std::string Required() const { return "password=secret\nport=1055\nowlpath=" + Agent() + "\n"; }

  private:
    std::string path_;
};

inline void SetConfigFile(TOWLSettings& settings, const std::string& path) {
    strncpy(settings.configfile, path.c_str(), sizeof(settings.configfile) - 1);
    settings.configfile[sizeof(settings.configfile) - 1] = 0;
}

// The value of a configuration key in a record, as text.
inline std::string Value(const TOWLSettings& settings, const char* key) {
    const TSettingKey* row = FindSettingKey(key, -1);
    return row ? S(SettingValue(settings, *row)) : "<no such key>";
}

// Keeps TMPDIR and TMP as they were before the test.
class EnvGuard {
  public:
    EnvGuard() : tmpdir_(Get("TMPDIR")), tmp_(Get("TMP")) {}
    ~EnvGuard() {
        Put("TMPDIR", tmpdir_);
        Put("TMP", tmp_);
    }

  private:
    struct Saved {
        bool set;
        std::string value;
    };
    static Saved Get(const char* name) {
        const char* v = getenv(name);
        return {v != nullptr, v ? v : ""};
    }
    static void Put(const char* name, const Saved& saved) {
        if (saved.set)
            setenv(name, saved.value.c_str(), 1);
        else
            unsetenv(name);
    }
    Saved tmpdir_;
    Saved tmp_;
};

}  // namespace cfgtest
