// libFuzzer targets for the code that reads what a web server sends. One
// source, one executable per target: VELLORAN_FUZZ_TARGET picks the body.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "failure.h"
#include "number.h"
#include "paths.h"
#include "settings.h"
#include "text.h"

namespace {

std::string_view asText(const std::uint8_t* data, std::size_t size) {
    return {reinterpret_cast<const char*>(data), size};
}

// Splits the input at the first two NULs into up to three texts.
[[maybe_unused]] void splitThree(std::string_view in, std::string_view& a, std::string_view& b, std::string_view& c) {
    auto cut = [&](std::string_view& part) {
        const auto at = in.find('\0');
        part = in.substr(0, at);
        in = at == std::string_view::npos ? std::string_view() : in.substr(at + 1);
    };
    cut(a);
    cut(b);
    c = in;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view in = asText(data, size);
#if VELLORAN_FUZZ_TARGET == 1
    // Settings file: the document, then a section and key to look up.
    std::string_view file, section, key;
    splitThree(in, file, section, key);
    velloran::SettingsDocument document(file);
    const std::string value = document.get(section, key);
    if (value.size() > 4999) __builtin_trap();
    (void)document.get(section, key, 1);
#elif VELLORAN_FUZZ_TARGET == 2
    // The number rule: Val() and the rounding must fail only by Failure.
    try {
        (void)velloran::leadingNumber(in);
    } catch (const velloran::Failure&) {
    }
#elif VELLORAN_FUZZ_TARGET == 3
    // Address normalisation and request-address encoding.
    const std::string normal = velloran::normaliseSiteAddress(in);
    if (!in.empty() && (normal.back() != '/' || normal.size() < in.size())) __builtin_trap();
    const std::string encoded = velloran::encodeRequestAddress(normal + "x");
    for (char c : encoded)
        if (static_cast<unsigned char>(c) <= 0x20 || static_cast<unsigned char>(c) >= 0x7F) __builtin_trap();
#elif VELLORAN_FUZZ_TARGET == 4
    // Path checks: whatever is accepted stays below the program folder.
    std::string_view folder, name, unused;
    splitThree(in, folder, name, unused);
    const std::string normal = velloran::normaliseFolder(folder);
    if (velloran::refusedTarget(normal, name).empty()) {
        for (std::string_view part : {std::string_view(normal), name})
            for (const std::string& c : velloran::pathComponents(part))
                if (c == ".." || c == "." || c.find(':') != std::string::npos) __builtin_trap();
        if (!name.empty() && (name.front() == '/' || name.front() == '\\')) __builtin_trap();
    }
#else
#error "VELLORAN_FUZZ_TARGET must be 1 to 4"
#endif
    return 0;
}
