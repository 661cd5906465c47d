#include "config/ipfilter.h"

#include <arpa/inet.h>
#include <string.h>

#include "config/settings.h"

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool EndsAddress(char c) { return c == ',' || c == '-'; }

// Converts a numbers-and-dots text as inet_addr does; false when it does not
// convert (inet_addr's all-ones value) or holds a zero byte.
bool ConvertAddress(const String& text, unsigned int* hostOrder) {
    if (text.Length() > 0 && memchr(text.Data(), 0, text.Length()) != nullptr) return false;
    String copy = text;
    in_addr_t addr = inet_addr(copy.SetZero().Data());
    if (addr == INADDR_NONE) return false;
    *hostOrder = ntohl(addr);
    return true;
}

String InvalidAddress(const String& text) {
    return String("Invalid IP address (") + text + ") specified";
}

// Offset of the first "," or "-" at or after from, or n.
int AddressEnd(const char* p, int n, int from) {
    while (from < n && !EndsAddress(p[from])) from++;
    return from;
}

bool Matches(unsigned int host, unsigned int first, unsigned int last) {
    if (last == 0) return host == first;
    return (first <= host && host <= last) || (last <= host && host <= first);
}

}  // namespace

int islistsetchar(char c) { return IsDigit(c) || c == '.' || c == '-' || c == ','; }

void getitem(String& list, unsigned int& first, unsigned int& last, String& err) {
    first = 0;
    last = 0;
    const char* p = list.Data();
    int n = list.Length();
    int start = 0;
    while (start < n && !IsDigit(p[start])) start++;
    if (start >= n) return;

    int end = AddressEnd(p, n, start);
    String text = list.Copy(start + 1, end - start);
    unsigned int address = 0;
    if (!ConvertAddress(text, &address)) {
        err = InvalidAddress(text);
        return;
    }
    first = address;
    if (end < n - 1 && p[end] == '-') {
        int start2 = end + 1;
        end = AddressEnd(p, n, start2);
        String text2 = list.Copy(start2 + 1, end - start2);
        if (ConvertAddress(text2, &address))
            last = address;
        else
            err = InvalidAddress(text2);
    }
    // The item and the character that ended it.
    list.Delete(1, end + 1);
}

int IPAllowed(unsigned int addr, const String& list, String& err) {
    err = "";
    unsigned int host = ntohl(addr);
    String work;
    for (int i = 1; i <= list.Length(); i++)
        if (islistsetchar(list[i])) work.AddChar(list[i]);

    int result = 0;
    for (;;) {
        unsigned int first, last;
        getitem(work, first, last, err);
        if (first == 0) break;
        if (Matches(host, first, last)) {
            result = 1;
            break;
        }
    }

    if (err.Length() == 0) {
        for (int i = 1; i <= list.Length(); i++) {
            if (!islistsetchar(list[i])) {
                err = String("Illegal character (") + list[i] + ") specified";
                break;
            }
        }
    }
    return result;
}

int IPAllowed(const char* addr, const String& list, String& err) {
    if (addr == nullptr) return 0;
    in_addr_t converted = inet_addr(addr);
    if (converted == INADDR_NONE) return 0;
    return IPAllowed((unsigned int)converted, list, err);
}

int FilterListHolds(const String& activefilter, const char* dottedPeer) {
    if (dottedPeer == nullptr || strpbrk(dottedPeer, "\r\n") != nullptr) return 0;
    String item = String("\r\n") + dottedPeer + "\r\n";
    return activefilter.Pos(item) > 0;
}

bool FilterAdmits(const char* dottedPeer) {
    const TOWLSettings& now = CurrentSettings();
    return !now.filteractive || FilterListHolds(now.activefilter, dottedPeer);
}
