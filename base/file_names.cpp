#include "file_names.h"

namespace velloran {

std::string tempFileName(std::string_view name, std::string_view process, std::size_t maxLength) {
    std::string suffix(".");
    suffix.append(process).append(kTempSuffix);
    const std::size_t fixed = kTempPrefix.size() + suffix.size();
    // Keep the marker prefix and the suffix; shorten the name.
    if (fixed + name.size() > maxLength) name = name.substr(0, maxLength > fixed ? maxLength - fixed : 0);
    std::string out(kTempPrefix);
    out.append(name).append(suffix);
    return out;
}

namespace {
constexpr std::string_view kResume = "resume";
constexpr std::string_view kResumeInfo = "resume-from";
}  // namespace

std::string resumeFileName(std::string_view name, std::size_t maxLength) {
    return tempFileName(name, kResume, maxLength);
}

std::string resumeInfoName(std::string_view name, std::size_t maxLength) {
    return tempFileName(name, kResumeInfo, maxLength);
}

bool isResumeFileName(std::string_view name) {
    if (!isTempFileName(name)) return false;
    name.remove_suffix(kTempSuffix.size());
    return name.ends_with(std::string(".").append(kResume)) || name.ends_with(std::string(".").append(kResumeInfo));
}

bool isTempFileName(std::string_view name) {
    return name.size() >= kTempPrefix.size() + kTempSuffix.size() && name.starts_with(kTempPrefix) &&
           name.ends_with(kTempSuffix);
}

}  // namespace velloran
