#include "progress.h"

namespace velloran::publish {

void Progress::start(const std::string& what, std::uint64_t files, std::uint64_t bytes) {
    finish();
    if (!show_ || files == 0) return;
    what_ = what;
    files_ = files;
    bytes_ = bytes;
    filesDone_ = bytesDone_ = 0;
    open_ = true;
    draw(true);
}

void Progress::addBytes(std::uint64_t bytes) {
    if (!open_) return;
    bytesDone_ += bytes;
    draw(false);
}

void Progress::fileDone() {
    if (!open_) return;
    ++filesDone_;
    draw(filesDone_ == files_);
}

void Progress::finish() {
    if (!open_) return;
    draw(true);
    std::fputc('\n', out_);
    std::fflush(out_);
    open_ = false;
}

void Progress::draw(bool force) {
    // A terminal that is redrawn for every piece slows the run it shows.
    const auto now = std::chrono::steady_clock::now();
    if (!force && now - lastDraw_ < std::chrono::milliseconds(100)) return;
    lastDraw_ = now;
    std::fprintf(out_, "\r%s: %llu of %llu files, %s of %s\x1b[K", what_.c_str(),
                 static_cast<unsigned long long>(filesDone_), static_cast<unsigned long long>(files_),
                 byteText(bytesDone_).c_str(), byteText(bytes_).c_str());
    std::fflush(out_);
}

std::string byteText(std::uint64_t bytes) {
    char text[32];
    if (bytes >= (1ull << 30))
        std::snprintf(text, sizeof text, "%.1f GiB", static_cast<double>(bytes) / (1ull << 30));
    else if (bytes >= (1ull << 20))
        std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(bytes) / (1ull << 20));
    else if (bytes >= 1024)
        std::snprintf(text, sizeof text, "%.1f KiB", static_cast<double>(bytes) / 1024);
    else
        std::snprintf(text, sizeof text, "%llu bytes", static_cast<unsigned long long>(bytes));
    return text;
}

}  // namespace velloran::publish
