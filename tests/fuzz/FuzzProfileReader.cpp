// Fuzz target for ReadProfileString.
//
// Input layout:
//   byte 0      bits 0-1: mode (0 value lookup, 1 key list, 2 section list)
//               bit 4: section name from the input, else from the word list
//               bit 5: key name from the input, else from the word list
//               bit 6: names from the input are twice as long (up to 510 bytes)
//   bytes 1-2   out buffer size, little endian, modulo 1100
//   bytes 3-5   lengths of section name, key name and default (a word-list
//               index for names not taken from the input)
//   then        the section, key and default bytes, then the file content.
// The out buffer is exactly `size` bytes from malloc, so ASan reports any write
// or read past it. After the call the result must lie inside the buffer and out
// must be terminated there; a list must end in two terminators.

#include "platform/ProfileReader.h"

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr size_t kHeaderLen = 6;
constexpr uint32_t kMaxSize = 1100;
const char* const kWords[] = {"File", "Level", "FileSize", "FileNum", "LogLevel", "Custom"};
constexpr size_t kWordCount = sizeof(kWords) / sizeof(kWords[0]);

void Check(bool bOk, const char* pWhat) {
    if (bOk) return;
    std::fprintf(stderr, "fuzz_profile_reader: %s\n", pWhat);
    std::abort();
}

// One temporary file per process, rewritten for every input.
const char* InputPath() {
    static std::string path;
    if (path.empty()) {
        const char* pTmp = std::getenv("TMPDIR");
        std::string tmpl = std::string(pTmp != nullptr && *pTmp != '\0' ? pTmp : "/tmp") +
                           "/fuzz_profile_reader.XXXXXX";
        const int fd = mkstemp(&tmpl[0]);
        Check(fd >= 0, "cannot create the temporary file");
        // The descriptor is not needed: the file is rewritten by name below.
        (void)close(fd);
        path = tmpl;
        std::atexit([] { (void)unlink(path.c_str()); });
    }
    return path.c_str();
}

void WriteInput(const uint8_t* pData, size_t nLen) {
    FILE* pFile = std::fopen(InputPath(), "wb");
    Check(pFile != nullptr, "cannot open the temporary file");
    Check(std::fwrite(pData, 1, nLen, pFile) == nLen, "short write");
    Check(std::fclose(pFile) == 0, "cannot close the temporary file");
}

// Takes nLen bytes (or what is left) from the input.
std::string Take(const uint8_t*& pData, size_t& nLeft, size_t nLen) {
    if (nLen > nLeft) nLen = nLeft;
    std::string text(reinterpret_cast<const char*>(pData), nLen);
    pData += nLen;
    nLeft -= nLen;
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nLen) {
    if (nLen < kHeaderLen) return 0;
    const uint8_t nFlags = pData[0];
    const uint32_t nSize = static_cast<uint32_t>(pData[1] | (pData[2] << 8)) % kMaxSize;
    const size_t nScale = (nFlags & 0x40) != 0 ? 2 : 1;
    const size_t nSectionLen = pData[3] * nScale;
    const size_t nKeyLen = pData[4] * nScale;
    const size_t nDefaultLen = pData[5];
    const uint8_t* p = pData + kHeaderLen;
    size_t nLeft = nLen - kHeaderLen;

    std::string section =
        (nFlags & 0x10) != 0 ? Take(p, nLeft, nSectionLen) : kWords[nSectionLen % kWordCount];
    std::string key = (nFlags & 0x20) != 0 ? Take(p, nLeft, nKeyLen) : kWords[nKeyLen % kWordCount];
    const std::string def = Take(p, nLeft, nDefaultLen);
    switch (nFlags & 0x03) {
        case 1:
            key.clear();
            break;
        case 2:
            section.clear();
            break;
        default:
            break;
    }
    WriteInput(p, nLeft);

    char* pOut = static_cast<char*>(std::malloc(nSize));
    if (pOut == nullptr) return 0;
    std::memset(pOut, 'X', nSize);
    const int32_t nResult =
        ReadProfileString(section.c_str(), key.c_str(), def.c_str(), pOut, nSize, InputPath());
    if (nSize == 0) {
        Check(nResult == 0, "size 0 must give result 0");
    } else {
        Check(nResult >= 0 && static_cast<uint32_t>(nResult) < nSize, "result out of bounds");
        Check(std::memchr(pOut, '\0', nSize) != nullptr, "out not terminated within size");
        const bool bList = section.c_str()[0] == '\0' || key.c_str()[0] == '\0';
        if (!bList) {
            Check(std::strlen(pOut) == static_cast<size_t>(nResult), "value length != result");
        } else if (nSize >= 2) {
            const size_t nEnd = static_cast<size_t>(nResult);
            Check(nEnd + 1 < nSize, "list result leaves no room for its end");
            Check(pOut[nEnd] == '\0' && pOut[nEnd + 1] == '\0', "list not double terminated");
        }
    }
    std::free(pOut);
    return 0;
}
