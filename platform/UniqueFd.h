#pragma once

#include <unistd.h>

// Owner of one file descriptor: closed when the owner goes or takes another.
class CUniqueFd {
public:
    CUniqueFd() = default;
    explicit CUniqueFd(int nFd) : m_nFd(nFd) {}
    ~CUniqueFd() { Reset(); }
    CUniqueFd(const CUniqueFd&) = delete;
    CUniqueFd& operator=(const CUniqueFd&) = delete;
    CUniqueFd(CUniqueFd&& other) noexcept : m_nFd(other.Release()) {}
    CUniqueFd& operator=(CUniqueFd&& other) noexcept {
        if (this != &other) Reset(other.Release());
        return *this;
    }

    int Get() const { return m_nFd; }
    bool Valid() const { return m_nFd >= 0; }
    int Release() {
        const int nFd = m_nFd;
        m_nFd = -1;
        return nFd;
    }
    // Closes the descriptor held; what close reports cannot be acted on here
    // (callers that care about the data flush it first).
    void Reset(int nFd = -1) {
        if (m_nFd >= 0) (void)close(m_nFd);
        m_nFd = nFd;
    }
    // Closes the descriptor held now, for a caller that acts on what close
    // reports (a written file whose last write may fail only there): 0, or -1
    // with errno set. The descriptor is released either way; 0 when none is
    // held.
    int Close() {
        const int nFd = Release();
        return nFd >= 0 ? close(nFd) : 0;
    }

private:
    int m_nFd = -1;
};
