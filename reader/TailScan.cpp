#include "reader/TailScan.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace {

constexpr uint64_t kBackChunk = 64 * 1024;
// A line without LF that grows past this is taken as beginning here, as the
// forward reader cuts such a line into pieces anyway: the buffer stays small.
constexpr size_t kMaxScanLine = 16 * kMaxLineText;

// Reads [nFrom, nFrom + nLen) of a file into *pOut before what it holds.
bool Prepend(int nFd, uint64_t nFrom, uint64_t nLen, std::string* pOut) {
    std::string strChunk(static_cast<size_t>(nLen), '\0');
    size_t nDone = 0;
    while (nDone < strChunk.size()) {
        const ssize_t nRead = pread(nFd, &strChunk[nDone], strChunk.size() - nDone,
                                    static_cast<off_t>(nFrom + nDone));
        if (nRead < 0 && errno == EINTR) continue;
        if (nRead < 0) return false;
        if (nRead == 0) {
            errno = EIO;  // the file was cut meanwhile
            return false;
        }
        nDone += static_cast<size_t>(nRead);
    }
    pOut->insert(0, strChunk);
    return true;
}

}  // namespace

int32_t FindTail(const CFileSetReader& reader, const CLineFilter& filter, uint64_t nCount,
                 StreamPos* pPos) {
    if (nCount == 0) {
        // Nothing before what comes next: the end of the newest file.
        for (uint32_t k = reader.HeldCount(); k-- > 0;) {
            struct stat st {};
            if (reader.HeldFd(k) < 0) continue;
            if (fstat(reader.HeldFd(k), &st) != 0) return kTailError;
            *pPos = reader.HeldPlace(k, static_cast<uint64_t>(st.st_size));
            return kTailFound;
        }
        return kTailWhole;
    }
    uint64_t nPassed = 0;
    CReadLine line;
    std::string strBuf;  // bytes [nBufStart, nBufStart + size) of file k, lines not yet looked at
    for (uint32_t k = reader.HeldCount(); k-- > 0;) {
        const int nFd = reader.HeldFd(k);
        if (nFd < 0) continue;
        struct stat st {};
        if (fstat(nFd, &st) != 0) return kTailError;
        uint64_t nBufStart = static_cast<uint64_t>(st.st_size);
        strBuf.clear();
        // The newest file may end in a line still being written, which the
        // forward reader takes only once its LF has come: it is not counted.
        bool bLastLine = k + 1 == reader.HeldCount();
        for (;;) {
            // The last line of the buffer: after the LF before its own end.
            size_t nEnd = strBuf.size();
            if (nEnd > 0 && strBuf[nEnd - 1] == '\n') --nEnd;
            const void* pLf = nEnd > 0 ? memrchr(strBuf.data(), '\n', nEnd) : nullptr;
            if (pLf == nullptr && nBufStart > 0 && strBuf.size() < kMaxScanLine) {
                const uint64_t nMore = nBufStart < kBackChunk ? nBufStart : kBackChunk;
                nBufStart -= nMore;
                if (!Prepend(nFd, nBufStart, nMore, &strBuf)) return kTailError;
                continue;
            }
            if (pLf == nullptr && strBuf.empty()) break;  // the file is read
            const size_t nStart =
                pLf != nullptr
                    ? static_cast<size_t>(static_cast<const char*>(pLf) - strBuf.data()) + 1
                    : 0;
            size_t nText = nEnd - nStart;
            if (nText > 0 && strBuf[nStart + nText - 1] == '\r') --nText;
            const bool bUnfinished = bLastLine && strBuf.back() != '\n';
            bLastLine = false;
            line.Set(strBuf.data() + nStart, static_cast<uint32_t>(nText));
            if (!bUnfinished && filter.Pass(&line) && ++nPassed == nCount) {
                *pPos = reader.HeldPlace(k, nBufStart + nStart);
                return kTailFound;
            }
            strBuf.resize(nStart);
        }
    }
    return kTailWhole;
}
