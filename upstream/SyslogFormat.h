#pragma once

#include "asynclog/OriginJournal.h"
#include "logmodule/RecordFormat.h"
#include "platform/TextEscape.h"

#include <cstddef>
#include <cstdint>

// Turns one line of the daemon's file set into an RFC 5424 syslog message.
//
// A line in the record format of the log module
//   Info    2024-03-05 07:08:09:045  DevID:cam0  Source-Line:net(main.cpp-L0042)
//     ProcessName:app(1234)     Description:[Run]started
// becomes
//   <14>1 2024-03-05T07:08:09.045+01:00 host app 1234 net
//     [zqlog@32473 seq="17" boot="..." dev="cam0" file="main.cpp" line="42" func="Run"] started
// PRI: the configured facility and the severity of the level word (Fatal crit,
// Error err, Warning warning, Info info, Debug and Trace debug). TIMESTAMP: the
// record's local time with the device's UTC offset. APP-NAME, PROCID and MSGID:
// process name, process id and module. MSG: the text after the header. Any
// other line goes out as its text, with severity info, the time of sending and
// "-" for APP-NAME, PROCID and MSGID.
//
// A record whose function field is kCarriedSdFunction and whose text begins
// with RFC 5424 SD elements (then a space and the message, or nothing) carries
// structured data of its sender (zqlog --sd-id): those elements follow the
// forwarder's own, func is sent empty and MSG is the rest of the text. Only
// when every element is well formed, no SD-ID repeats and none is kSdId,
// kOriginSdId or origin (which only the forwarder may state); otherwise the record goes out
// as any other, its text whole.
//
// Then the line's origin, as the daemon's origin journal has it, which no
// sender can write (kOriginSdId is not carriable):
//     [origin@32473 uid="0" pid="812" name="sshd"]   the local intake's sender
//     [origin@32473 unknown="udp"]                   came over UDP
//     [origin@32473 unknown="unrecorded"]            no entry (an older file, a crash)
// uid and pid are the kernel's; name is /proc's, which the process sets itself.
//
// seq, the daemon's number of the line, and boot, the boot id of the device,
// let a collector find gaps and remove duplicates: a line sent twice carries
// the same seq. 32473 is the enterprise number RFC 5612 reserves for
// documentation; the product has no number of its own.
//
// Used by one thread (the sender's); not thread-safe.

constexpr const char* kSdId = "zqlog@32473";
constexpr const char* kOriginSdId = "origin@32473";
constexpr char kCarriedSdFunction[] = "@sd";  // no C or C++ function has this name
constexpr uint32_t kMaxSdName = 32;           // RFC 5424: SD-ID and PARAM-NAME
constexpr uint32_t kMaxLineText = 4096;       // longer lines are sent in pieces of this size
// Largest message Format produces: the header fields are bounded, and every
// text of the line appears once, escaped at most to kEscapedLen times its size.
constexpr uint32_t kMaxSyslogMessage = 1024 + kEscapedLen * kMaxLineText;

// RFC 5424's SD-NAME: 1..kMaxSdName printable US-ASCII characters but '=',
// ']' and '"'.
bool IsSdName(const char* p, uint32_t n);
// An SD-ID as RFC 5424 has it: an SD-NAME that is one of the registered IDs
// (timeQuality, origin, meta) or name@number, the number digits with single
// dots between them.
bool IsSdId(const char* p, uint32_t n);
// Whether a sender may put this SD-ID into a record for the forwarder: not
// kSdId, kOriginSdId or origin.
bool IsCarriableSdId(const char* p, uint32_t n);
// A PARAM-VALUE with '"', '\' and ']' escaped by '\', and no other escape.
bool IsSdParamValue(const char* p, uint32_t n);
// The SD elements at the start of a record's text and the message after them,
// as the comment above the class says; false when the text carries none.
bool SplitCarriedSd(TextSpan stText, TextSpan* pSd, TextSpan* pMessage);

class CSyslogFormatter {
public:
    CSyslogFormatter();

    // The HOSTNAME field (cut to 255 characters, bytes outside printable ASCII
    // replaced by '_'; empty: "-"), the facility (0..23) and the boot id.
    void SetIdentity(const char* pHostname, uint8_t nFacility, const char* pBootId);

    // Formats the line pLine/nLen (its CR LF or LF already removed, at most
    // kMaxLineText bytes) with sequence number nSeq and origin *pOrigin (null:
    // none stated) into pOut, which holds at least kMaxSyslogMessage bytes.
    // Returns the message length.
    uint32_t Format(const char* pLine, uint32_t nLen, uint64_t nSeq, char* pOut,
                    const LineOrigin* pOrigin = nullptr);

    // The device's boot id (/proc/sys/kernel/random/boot_id), or, when it cannot
    // be read, an id made from the time and the process id. Into pOut (>= 40 bytes).
    static void ReadBootId(char* pOut, size_t nLen);

private:
    // UTC offset in seconds of a local time, for records; the last answer is
    // kept for the hour it was asked for (offsets change on the hour).
    bool LocalOffset(int nYear, int nMonth, int nDay, int nHour, int nMin, int nSec, long* pOffset);

    char m_szHostname[256];
    uint8_t m_nFacility;
    char m_szBootId[40];
    int64_t m_llCachedHourKey;  // year, month, day and hour of m_nCachedOffset; -1 none
    long m_nCachedOffset;
};
