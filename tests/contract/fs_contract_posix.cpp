// The contract suite's system side on POSIX.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "fs_contract.h"

namespace velloran::contract {

Scratch::Scratch() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/velloran-fs-XXXXXX";
    if (!::mkdtemp(pattern.data()))
        throw std::runtime_error("cannot make a temporary folder: " + std::string(std::strerror(errno)));
    path_ = pattern;
}

Scratch::~Scratch() {
    // remove_all removes a link, not what it leads to.
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string Scratch::at(const std::string& relative) const {
    return relative.empty() ? path_ : path_ + "/" + relative;
}

std::vector<std::string> names(const std::string& folder) {
    std::vector<std::string> found;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(folder, ec))
        found.push_back(entry.path().filename().string());
    std::sort(found.begin(), found.end());
    return found;
}

bool isLink(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

bool makeLink(const std::string& link, const std::string& target, bool) {
    return ::symlink(target.c_str(), link.c_str()) == 0;
}

std::string processTag() { return std::to_string(::getpid()); }

}  // namespace velloran::contract
