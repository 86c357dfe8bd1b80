#include "upstream/PendingQueue.h"

#include <new>

CPendingQueue::CPendingQueue()
    : m_nByteCap(0),
      m_nEntryCap(0),
      m_nHead(0),
      m_nTail(0),
      m_nReserved(0),
      m_nBegin(0),
      m_nEnd(0) {}

bool CPendingQueue::Init(uint32_t nBytes, uint32_t nEntries) {
    m_pBytes.reset(new (std::nothrow) char[nBytes]);
    m_pEntries.reset(new (std::nothrow) PendingMsg[nEntries]);
    if (!m_pBytes || !m_pEntries || nEntries == 0) {
        Release();
        return false;
    }
    m_nByteCap = nBytes;
    m_nEntryCap = nEntries;
    Clear();
    return true;
}

void CPendingQueue::Release() {
    m_pBytes.reset();
    m_pEntries.reset();
    m_nByteCap = 0;
    m_nEntryCap = 0;
    Clear();
}

void CPendingQueue::Clear() {
    m_nHead = 0;
    m_nTail = 0;
    m_nBegin = m_nEnd;
}

char* CPendingQueue::Reserve(uint32_t nMax) {
    if (m_nEntryCap == 0 || m_nEnd - m_nBegin >= m_nEntryCap) return nullptr;
    if (Empty()) {
        m_nHead = 0;
        m_nTail = 0;
    }
    if (Empty() || m_nTail > m_nHead) {
        // Bytes in use: [head, tail). Room at the end, else at the front (kept
        // strictly below head, so that tail never meets head).
        if (m_nByteCap - m_nTail >= nMax) {
            m_nReserved = m_nTail;
        } else if (m_nHead > nMax) {
            m_nReserved = 0;
        } else {
            return nullptr;
        }
    } else {
        // Wrapped: [head, end of the last message there) and [0, tail).
        if (m_nHead - m_nTail <= nMax) return nullptr;
        m_nReserved = m_nTail;
    }
    return m_pBytes.get() + m_nReserved;
}

void CPendingQueue::Commit(uint32_t nLen, const StreamPos& pos) {
    PendingMsg& msg = At(m_nEnd);
    msg.nStart = m_nReserved;
    msg.nLen = nLen;
    msg.nTag = 0;
    msg.nState = kMsgOpen;
    msg.stPos = pos;
    if (Empty()) m_nHead = m_nReserved;
    m_nTail = m_nReserved + nLen;
    ++m_nEnd;
}

void CPendingQueue::PopFront() {
    if (Empty()) return;
    ++m_nBegin;
    if (Empty()) {
        m_nHead = 0;
        m_nTail = 0;
    } else {
        m_nHead = At(m_nBegin).nStart;
    }
}
