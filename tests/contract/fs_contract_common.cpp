// The parts of the contract suite's system side that the standard library
// does the same way on every system.
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "failure.h"
#include "fs_contract.h"

namespace velloran::contract {

void put(const std::string& path, const std::string& bytes) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
    if (!out.flush()) throw std::runtime_error("cannot write " + path);
}

std::optional<std::string> content(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void makeFolders(const std::string& path) { std::filesystem::create_directories(path); }

Outcome outcomeOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const Failure& failure) {
        return {true, failure.kind(), failure.what()};
    }
    return {};
}

}  // namespace velloran::contract
