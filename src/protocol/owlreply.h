// OWLReply: the answer to one request, built as text (a status line, then a
// message text or one value per line) and turned into the encrypted reply
// packet by FinalizePacket. A reply belongs to its session thread.
#pragma once

#include <time.h>

#include "text/vtstring.h"

// Status codes of line 1.
#define OWL_OK "200"               // done; values or a short text follow
#define OWL_AGENT_FAILED "300"     // reload, save or upgrade failed
#define OWL_CANNOT_PERFORM "301"   // the test or action cannot be performed
#define OWL_UPGRADE_RUNNING "302"  // another session is upgrading
#define OWL_NOT_SUPPORTED "500"    // unknown, empty or inapplicable command
#define OWL_BAD_PARAMETER "501"    // a parameter is missing or wrong
#define OWL_NO_END_MARK "502"      // the request lacks its closing CR
#define OWL_NOT_ALLOWED "600"      // switched off or not allowed for this peer

// The encode argument of AddStringParam: the text as it stands, or with CR
// and LF escaped (owlEncodeStrings) so that it stays one line.
enum ValueEncoding { VALUE_AS_IS = 0, VALUE_ESCAPED = 1 };

class OWLReply : public String {
  public:
    String SessionKey;

    OWLReply() = default;
    OWLReply& operator=(const String& text);
    OWLReply& operator=(const char* text);

    // The text becomes text and LF (null: empty); the reply will be
    // encrypted with key.
    void InitPacket(const char* text, const String& key);
    // Replaces everything with code and LF (null: empty); append the message
    // text to the result with +=.
    String& SetResult(const char* code);
    // Ends a non-empty text that lacks its LF.
    void CommandSeparatorCheck();

    void AddIntParam(int value);            // "%d"
    void AddIntParam(long long value);      // "%6lld"
    void AddRealParam(double value);        // "%6.4f"
    void AddBoolParam(int value);           // "1" or "0"
    void AddTimeParam(const struct tm& t);  // DDMMYYYYhhmmss
    void AddTimeParam(const long& t);       // seconds since the epoch, local time
    // The text; with encode, CR and LF travel as "%0D" and "%0A".
    void AddStringParam(const char* text, int encode);
    void AddStringParam(const String& s, int encode);
    // printf into 2048 bytes, added unescaped; nothing when longer.
    void AddVarParams(const char* format, ...) __attribute__((format(printf, 2, 3)));

    // Ends the text with CR and replaces it with the 4-byte length and the
    // ciphertext under SessionKey. Called once, just before sending.
    void FinalizePacket();
};
