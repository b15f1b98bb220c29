// The settings-file (INI) reader with the rules of the Windows profile API:
// byte-oriented, sections and keys matched without regard to ASCII case, the
// first section and the first key of a name win, values trimmed and unquoted
// once, cut to 4999 bytes. It serves every platform, so a manifest reads the
// same on Linux as under Windows.
#pragma once

#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace velloran {

// One parsed settings file. Parsing never fails: what cannot be read is
// simply absent, and absent items read as the empty text.
class SettingsDocument {
public:
    SettingsDocument() = default;
    explicit SettingsDocument(std::string_view bytes);

    // The value of `key` in `section` as GetPrivateProfileStringA would copy it
    // into a buffer of `bufferSize` bytes with an empty default.
    std::string get(std::string_view section, std::string_view key,
                    std::size_t bufferSize = 5000) const;

    // True when the file has a section of that name (a header the reader
    // can reach), even an empty one.
    bool hasSection(std::string_view section) const;

    // The names of the keys of `section`, in lower case, in no particular
    // order; each reads through get().
    std::vector<std::string> keys(std::string_view section) const;

private:
    struct Section {
        std::unordered_map<std::string, std::string> values;  // lower-cased key -> unquoted value
    };
    std::unordered_map<std::string, Section> sections_;  // lower-cased name -> first section
};

}  // namespace velloran
