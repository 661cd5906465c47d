// Self-upgrade: the session's UpgradeRec, the one process-wide upgrade
// reservation (OWLFlags.UpgradeBusy under upgrade_mutex) and DoUpgrading,
// which receives the new executable and its encrypted MD5 digest and writes
// the installing script. An UpgradeRec belongs to its session thread.
#pragma once

#include <stdint.h>
#include <stdio.h>
#include <time.h>

#include "crypto/md5.h"
#include "runtime/limits.h"
#include "text/vtstring.h"

class UpgradeRec {
  public:
    UpgradeRec();
    ~UpgradeRec();
    UpgradeRec(const UpgradeRec&) = delete;
    UpgradeRec& operator=(const UpgradeRec&) = delete;

    // Takes the process-wide reservation for this session and keeps key for
    // the digest; 0 when another session holds it.
    int RequestUpgrade(const String& key);
    // Releases the reservation.
    void ClearanceUpgrade();
    // InProgress: only the session that owns the record changes it, so its
    // own thread reads it without a lock.
    int Active() const;
    // Ends a transfer that will not complete (the peer left or stalled):
    // closes and removes the temporary file and releases the reservation.
    void Abandon();

    int InProgress;
    int64_t FileSize;
    int64_t Received;
    int SizeSet;
    FILE* File;
    String FileName;
    MD5 Digest;
    String SessionKey;
    // The digest bytes collected after the body, until all 16 are here.
    String DigestBytes;
};

// One step of the receiver: with no data it creates the temporary file;
// later calls take the body and then the digest. 1: the step went well
// (err empty). 0: err holds the reason, the files are removed and the
// reservation released.
int DoUpgrading(UpgradeRec& rec, const char* data, int len, String& err);

// The installing script's path: TMPDIR, else TMP, else empty, then
// "/owlupd__.sh".
String UpgradeScriptPath();
