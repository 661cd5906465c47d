// ipfilter: who may talk to the agent. Owns the connection filter check of
// the accept loop (FilterAdmits, against activefilter) and the address
// lists of the management and upgrade permissions (IPAllowed, getitem).
//
// Threads: FilterAdmits reads the published settings (CurrentSettings);
// every other function works only on its arguments and may run on any
// number of threads at once.
#pragma once

#include "text/vtstring.h"

// 1 for the list characters "0"-"9", ".", "-" and ",", else 0.
int islistsetchar(char c);

// Reads the next item of an address list from the front of list and removes
// it together with the "," or "-" that ended it. first receives the address
// (host byte order) and last the end of a range, or 0 for a single address.
// first = 0 means that no item could be read: the list holds no digit, the
// item is 0.0.0.0, or its address does not convert; in the last case err is
// set to "Invalid IP address (<item>) specified" and list is left as it was.
// A range end that does not convert sets the same text and gives last = 0.
// err is left alone otherwise.
void getitem(String& list, unsigned int& first, unsigned int& last, String& err);

// 1 when addr (IPv4, network byte order) is one of the addresses or inside
// one of the ranges of list ("a.b.c.d" items and "a-b" ranges separated by
// ","; other characters are dropped first), else 0. err is set to "" and
// then to the first problem found: an address that does not convert, or
// else the first dropped character, as "Illegal character (<c>) specified".
// Neither changes the result.
int IPAllowed(unsigned int addr, const String& list, String& err);
// The same for a dotted address text. A null text or one that does not
// convert gives 0 and leaves err untouched.
int IPAllowed(const char* addr, const String& list, String& err);

// 1 when the dotted peer address is a whole item of the filter list text
// (CR LF, then every item followed by CR LF), else 0. A null peer or one
// holding a CR or LF is never found.
int FilterListHolds(const String& activefilter, const char* dottedPeer);

// The connection filter of the accept loop: true when OWLSettings has
// filteractive 0, or when the peer is an item of its activefilter.
bool FilterAdmits(const char* dottedPeer);
