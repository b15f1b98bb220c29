// The recorded case table of the settings reader and the number rule
// (data/settings_cases.tsv), shared by the reader's own tests and the
// comparison with the system's reader under Wine.
#pragma once

#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace cases {

// Undoes the table's escapes: \r \n \t \v \0 \\ \xHH, <empty>, {c*N} and
// {u16le-bom:TEXT} / {u16be-bom:TEXT}.
inline std::string decode(std::string_view field) {
    if (field == "<empty>") return {};
    std::string out;
    for (std::size_t i = 0; i < field.size(); ++i) {
        const char c = field[i];
        if (c == '\\' && i + 1 < field.size()) {
            const char e = field[++i];
            switch (e) {
            case 'r': out += '\r'; break;
            case 'n': out += '\n'; break;
            case 't': out += '\t'; break;
            case 'v': out += '\v'; break;
            case '0': out += '\0'; break;
            case 'x':
                out += static_cast<char>(std::stoi(std::string(field.substr(i + 1, 2)), nullptr, 16));
                i += 2;
                break;
            default: out += e;
            }
        } else if (c == '{') {
            const std::size_t close = field.find('}', i);
            const std::string_view inner = field.substr(i + 1, close - i - 1);
            i = close;
            if (const auto colon = inner.find(':'); colon != std::string_view::npos) {
                const bool little = inner.substr(0, colon) == "u16le-bom";
                out += little ? "\xFF\xFE" : "\xFE\xFF";
                for (const char ch : decode(inner.substr(colon + 1)))
                    out += little ? std::string{ch, '\0'} : std::string{'\0', ch};
            } else {
                out.append(std::stoul(std::string(inner.substr(2))), inner[0]);
            }
        } else {
            out += c;
        }
    }
    return out;
}

// One row, fields as written (escaped).
struct Row {
    std::string id, group, kind, input, section, key, nsize, expected, ret, clng, evidence, wineNote;
};

inline std::vector<Row> load() {
    std::ifstream file(VELLORAN_TEST_DATA "/settings_cases.tsv", std::ios::binary);
    std::vector<Row> rows;
    std::string line;
    std::getline(file, line);  // column names
    while (std::getline(file, line)) {
        std::vector<std::string> f;
        std::stringstream split(line);
        for (std::string field; std::getline(split, field, '\t');) f.push_back(field);
        if (f.size() < 12) continue;
        rows.push_back({f[0], f[1], f[2], f[3], f[4], f[5], f[6], f[7], f[8], f[9], f[10], f[11]});
    }
    return rows;
}

}  // namespace cases
