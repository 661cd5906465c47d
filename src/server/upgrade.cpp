#include "server/upgrade.h"

#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "config/settings.h"
#include "fs/filesearch.h"
#include "protocol/packetcipher.h"
#include "runtime/flags.h"

namespace {

const char kScript[] =
    "#! /bin/sh\n"
    "oldOWL='%s'\n"
    "newOWL='%s'\n"
    "retries=10\n"
    "rm $oldOWL\n"
    "while [ -f $oldOWL ] &&  [ $retries -gt 0 ]\n"
    "do\n"
    "  retries=`expr $retries - 1`\n"
    "  echo $retries\n"
    "  sleep 1\n"
    "done\n"
    "cp -f $newOWL $oldOWL\n"
    "rm -f $newOWL\n"
    "$oldOWL $1 $2 $3 $4 $5 $6\n"
    "rm %s\n";

// TMPDIR, else TMP, else empty.
String TempFolder() {
    const char* dir = getenv("TMPDIR");
    if (dir == nullptr) dir = getenv("TMP");
    String result;
    if (dir != nullptr) result.CopyData(dir, (int)strnlen(dir, 1023));
    return result;
}

int Fail(UpgradeRec& rec, String& err, const char* text) {
    err = text;
    rec.ClearanceUpgrade();
    return 0;
}

// Creates path afresh for this process alone: whatever stands there (a
// link, another user's file) is removed first and never followed or
// reused. Null when it cannot be created.
FILE* CreateFresh(String path, const char* mode) {
    path.SetZero();
    unlink(path.Data());
    int fd = open(path.Data(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0700);
    if (fd < 0) return nullptr;
    FILE* f = fdopen(fd, mode);
    if (f == nullptr) {
        close(fd);
        unlink(path.Data());
    }
    return f;
}

// Writes the installing script; 1 when it is in place and executable.
int WriteScript(const String& script, const String& binary, String& err) {
    String path = script;
    FILE* f = CreateFresh(path, "w+t");
    if (f == nullptr) return 0;
    String owlpath = SettingText(&TOWLSettings::owlpath);
    String file = binary;
    int written =
        fprintf(f, kScript, owlpath.SetZero().Data(), file.SetZero().Data(), path.SetZero().Data());
    bool executable = fflush(f) == 0 && fchmod(fileno(f), 0775) == 0;
    if (fclose(f) != 0 || written < 0) return 0;
    if (!executable) {
        err = "Cannot set exec flag for script";
        return 0;
    }
    return 1;
}

// The body is complete and the digest has arrived: check it and install.
int FinishUpgrade(UpgradeRec& rec, String& err) {
    bool executable = fchmod(fileno(rec.File), 0775) == 0;
    fclose(rec.File);
    rec.File = nullptr;
    String name = rec.FileName;
    name.SetZero();
    if (!executable) {
        unlink(name.Data());
        return Fail(rec, err, "Cannot set exec flag new module");
    }
    String digest = DecodeData(rec.DigestBytes, rec.SessionKey);
    unsigned char computed[16];
    MD5Close(&rec.Digest, computed);
    if (digest.Length() != 16 || memcmp(digest.Data(), computed, 16) != 0) {
        unlink(name.Data());
        return Fail(rec, err, "Wrong CRC");
    }
    String script = UpgradeScriptPath();
    if (!WriteScript(script, rec.FileName, err)) {
        unlink(name.Data());
        unlink(script.SetZero().Data());
        if (err.Length() == 0) err = "Binary code transferred. Cannot create script file";
        rec.ClearanceUpgrade();
        return 0;
    }
    rec.ClearanceUpgrade();
    {
        MutexLock hold(thread_mutex);
        OWLFlags.UpgradeScript = script;
    }
    return 1;
}

}  // namespace

UpgradeRec::UpgradeRec()
    : InProgress(0), FileSize(0), Received(0), SizeSet(0), File(nullptr), Digest() {}

UpgradeRec::~UpgradeRec() {}

int UpgradeRec::RequestUpgrade(const String& key) {
    int granted;
    {
        MutexLock hold(upgrade_mutex);
        granted = OWLFlags.UpgradeBusy == 0;
        if (granted) {
            OWLFlags.UpgradeBusy = 1;
            InProgress = 1;
        }
    }
    if (granted) SessionKey = key;
    return granted;
}

void UpgradeRec::ClearanceUpgrade() {
    MutexLock hold(upgrade_mutex);
    OWLFlags.UpgradeBusy = 0;
    InProgress = 0;
}

int UpgradeRec::Active() const { return InProgress; }

void UpgradeRec::Abandon() {
    if (File != nullptr) {
        fclose(File);
        File = nullptr;
    }
    if (FileName.Length() > 0) unlink(FileName.SetZero().Data());
    if (Active()) ClearanceUpgrade();
}

String UpgradeScriptPath() { return TempFolder() + "/owlupd__.sh"; }

int DoUpgrading(UpgradeRec& rec, const char* data, int len, String& err) {
    err = "";
    if (rec.FileName.Length() == 0) {
        rec.FileName = IncludeTrailingPathDelimiter(TempFolder()) + "owl__.upd";
        rec.File = CreateFresh(rec.FileName, "w+b");
        if (rec.File == nullptr) return Fail(rec, err, "Cannot create temp file");
        MD5Open(&rec.Digest);
    }
    if (data == nullptr || len <= 0) return 1;
    if (rec.Received < rec.FileSize) {
        int body =
            (int)((int64_t)len < rec.FileSize - rec.Received ? len : rec.FileSize - rec.Received);
        if ((int)fwrite(data, 1, body, rec.File) != body) {
            fclose(rec.File);
            rec.File = nullptr;
            unlink(rec.FileName.SetZero().Data());  // a partial program is of no use
            return Fail(rec, err, "Write error");
        }
        MD5Digest(&rec.Digest, data, (unsigned)body);
        rec.Received += body;
        data += body;
        len -= body;
    }
    if (len == 0) return 1;
    // The digest may arrive split across chunks: collect its 16 bytes (a
    // longer tail is kept whole and fails the check).
    rec.DigestBytes.AddData(data, len);
    if (rec.DigestBytes.Length() < 16) return 1;
    return FinishUpgrade(rec, err);
}
