// Runs the fuzz target over saved inputs without libFuzzer: every file named on
// the command line, and every regular file of every directory named there.
// Fails when an input makes the target abort or when no input was found.

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nLen);

namespace {

bool IsDirectory(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

void Collect(const std::string& path, std::vector<std::string>& files) {
    if (!IsDirectory(path)) {
        files.push_back(path);
        return;
    }
    DIR* pDir = opendir(path.c_str());
    if (pDir == nullptr) return;
    for (dirent* pEnt = readdir(pDir); pEnt != nullptr; pEnt = readdir(pDir)) {
        const std::string name = pEnt->d_name;
        if (name == "." || name == "..") continue;
        const std::string full = path + "/" + name;
        if (!IsDirectory(full)) files.push_back(full);
    }
    // Directory handle opened for reading only.
    (void)closedir(pDir);
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) Collect(argv[i], files);
    std::sort(files.begin(), files.end());
    size_t nRun = 0;
    for (const std::string& file : files) {
        std::ifstream in(file, std::ios::binary);
        if (!in) {
            std::fprintf(stderr, "cannot read %s\n", file.c_str());
            return 1;
        }
        const std::vector<char> data((std::istreambuf_iterator<char>(in)),
                                     std::istreambuf_iterator<char>());
        (void)LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(data.data()), data.size());
        ++nRun;
    }
    std::printf("replayed %zu inputs\n", nRun);
    return nRun > 0 ? 0 : 1;
}
