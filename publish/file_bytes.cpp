#include "file_bytes.h"

#include <fstream>
#include <vector>

#include "digest.h"
#include "failure.h"

namespace velloran::publish {
namespace {

// Large pieces: the stream then reads straight into the buffer, one system
// call per piece, and the digest runs over long stretches.
constexpr std::size_t kPiece = 1u << 20;

// Feeds every piece of the file to `take`; returns the byte count.
template <class Take>
std::uint64_t readPieces(const std::string& path, const ByteProgress& progress, Take take) {
    // std::ifstream takes the path as the platform's narrow text, as the
    // file service does, so a name found by listing opens here too.
    std::ifstream in(path, std::ios::binary);
    if (!in) throw Failure(FailureKind::NotFound, "Cannot open " + path);
    std::vector<char> piece(kPiece);
    std::uint64_t total = 0;
    for (;;) {
        in.read(piece.data(), static_cast<std::streamsize>(piece.size()));
        const auto got = static_cast<std::size_t>(in.gcount());
        if (got > 0) {
            take(piece.data(), got);
            total += got;
            if (progress) progress(got);
        }
        if (in.eof()) break;
        if (!in) throw Failure(FailureKind::Io, "Cannot read " + path);
    }
    return total;
}

}  // namespace

FileDigest digestFile(const std::string& path, const ByteProgress& progress) {
    auto sha = makeSha256();
    FileDigest digest;
    digest.size = readPieces(path, progress, [&](const char* data, std::size_t size) { sha->update(data, size); });
    digest.sha256 = sha->hexDigest();
    return digest;
}

FileDigest copyFile(FileSystem& fs, const std::string& from, const std::string& to, Durability durability,
                    const std::optional<FileDigest>& expected, const ByteProgress& progress) {
    auto sha = makeSha256();
    auto out = fs.create(to, durability);
    FileDigest digest;
    digest.size = readPieces(from, progress, [&](const char* data, std::size_t size) {
        sha->update(data, size);
        out->write(data, size);
    });
    digest.sha256 = sha->hexDigest();
    if (expected && digest != *expected)
        throw Failure(FailureKind::Io, from + " changed while it was being published; publish again");
    out->commit();
    return digest;
}

}  // namespace velloran::publish
