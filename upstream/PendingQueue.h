#pragma once

#include "upstream/FileSetReader.h"

#include <cstdint>
#include <memory>

// A message formatted for the collector and not yet acknowledged by it.
struct PendingMsg {
    uint32_t nStart;  // where its bytes begin in the queue's storage
    uint32_t nLen;
    uint64_t nTag;    // the link's: end of its frame in the stream (tcp), txnr (relp)
    uint8_t nState;   // the link's: kMsgAcked / kMsgRejected once answered out of order
    StreamPos stPos;  // its line's place: the cursor while it is the oldest here
};
constexpr uint8_t kMsgOpen = 0;
constexpr uint8_t kMsgAcked = 1;
constexpr uint8_t kMsgRejected = 2;

// The messages between the reader and the collector, oldest first, each with
// a number that grows by one per message. They stay until the collector has
// acknowledged them, so a new connection sends again what an old one had sent
// in vain. Bytes and entries are preallocated by Init; nothing is allocated per
// message. The storage is a ring in which a message never wraps: when the room
// at the end is too small, the message starts over at the front.
//
// Used by one thread (the sender's); the links read and pop it.
class CPendingQueue {
public:
    CPendingQueue();
    CPendingQueue(const CPendingQueue&) = delete;
    CPendingQueue& operator=(const CPendingQueue&) = delete;

    bool Init(uint32_t nBytes, uint32_t nEntries);
    void Release();
    void Clear();

    // Room for a message of up to nMax bytes, or null when the queue is full.
    char* Reserve(uint32_t nMax);
    // Adds the message written to the last reservation (nLen <= the reserved).
    void Commit(uint32_t nLen, const StreamPos& pos);
    void PopFront();

    bool Empty() const { return m_nBegin == m_nEnd; }
    uint64_t Begin() const { return m_nBegin; }  // number of the oldest message
    uint64_t End() const { return m_nEnd; }      // number the next message gets
    PendingMsg& At(uint64_t nNumber) {
        return m_pEntries[static_cast<size_t>(nNumber % m_nEntryCap)];
    }
    const char* Data(const PendingMsg& msg) const { return m_pBytes.get() + msg.nStart; }

private:
    std::unique_ptr<char[]> m_pBytes;
    std::unique_ptr<PendingMsg[]> m_pEntries;
    uint32_t m_nByteCap;
    uint32_t m_nEntryCap;
    uint32_t m_nHead;      // first byte of the oldest message
    uint32_t m_nTail;      // after the newest message
    uint32_t m_nReserved;  // where the last reservation begins
    uint64_t m_nBegin;
    uint64_t m_nEnd;
};
