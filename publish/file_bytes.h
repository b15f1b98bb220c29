// The bytes of release and site files, read in pieces so that a file of any
// size is hashed or copied without being held in memory.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "fs.h"

namespace velloran::publish {

struct FileDigest {
    std::uint64_t size = 0;
    std::string sha256;  // 64 lower-case hex digits
    bool operator==(const FileDigest&) const = default;
};

// Told the number of bytes just read, after each piece.
using ByteProgress = std::function<void(std::uint64_t bytes)>;

// Size and SHA-256 of the file at `path`. Throws Failure (NotFound or Io)
// naming the file when it cannot be read to its end.
FileDigest digestFile(const std::string& path, const ByteProgress& progress = {});

// Copies `from` to `to` through fs.create(to, durability) and commit(), so
// `to` is its old content or the whole new one, hashing the bytes on the
// way. When `expected` is given and the bytes read differ from it (the file
// changed since it was hashed), throws Failure (Io) before the commit.
// Returns the digest of the bytes copied.
FileDigest copyFile(FileSystem& fs, const std::string& from, const std::string& to, Durability durability,
                    const std::optional<FileDigest>& expected, const ByteProgress& progress = {});

}  // namespace velloran::publish
