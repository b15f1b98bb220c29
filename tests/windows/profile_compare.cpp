// Holds our settings reader against the system's own GetPrivateProfileStringA
// on the recorded case table. Run under Wine, the system reader is Wine's: the
// two must agree on every row except where the table's wine_note column says
// Wine differs from Windows; on those rows Wine must give what the note says
// and our reader the Windows answer.
#include <gtest/gtest.h>

#include <windows.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "case_table.h"
#include "settings.h"

namespace {

using cases::decode;
using Row = cases::Row;

std::vector<Row> iniRows() {
    std::vector<Row> rows = cases::load();
    std::erase_if(rows, [](const Row& row) { return row.kind != "ini"; });
    return rows;
}

struct Answer {
    std::string value;
    std::size_t returned;
};

// What Wine's note says Wine answers: "Wine: <value> [ret N]" with the
// table's escapes, or "Wine returns default" (the empty default here).
Answer noteAnswer(const std::string& note) {
    if (note == "Wine returns default") return {"", 0};
    std::string rest = note.substr(std::string("Wine: ").size());
    rest = rest.substr(0, rest.find(" ("));
    std::string value = rest.substr(0, rest.find(" ret "));
    std::string decoded = decode(value);
    return {decoded, decoded.size()};
}

class Scratch {
public:
    Scratch() {
        char temp[MAX_PATH];
        GetTempPathA(MAX_PATH, temp);
        folder_ = std::string(temp) + "velloran-profile-" + std::to_string(GetCurrentProcessId());
        CreateDirectoryA(folder_.c_str(), nullptr);
        CreateDirectoryA((folder_ + "\\folder.ini").c_str(), nullptr);
    }
    ~Scratch() {
        DeleteFileA((folder_ + "\\case.ini").c_str());
        RemoveDirectoryA((folder_ + "\\folder.ini").c_str());
        RemoveDirectoryA(folder_.c_str());
    }
    // A path for the row's input: a written file, an absent one or a folder.
    std::string place(const std::string& input) {
        if (input == "<nofile>") return folder_ + "\\absent.ini";
        if (input == "<dir>") return folder_ + "\\folder.ini";
        std::string path = folder_ + "\\case.ini";
        std::ofstream(path, std::ios::binary | std::ios::trunc) << decode(input);
        return path;
    }

private:
    std::string folder_;
};

TEST(ProfileCompare, WineAgreesExceptWhereNoted) {
    Scratch scratch;
    int compared = 0, noted = 0;
    for (const Row& row : iniRows()) {
        SCOPED_TRACE(row.id + " (" + row.wineNote + ")");
        const std::string path = scratch.place(row.input);
        const std::string section = decode(row.section), key = decode(row.key);
        const std::size_t size = std::stoul(row.nsize);

        // The system reader wipes the profile cache when a file's time
        // changes; rows are written faster than that, so flush it.
        WritePrivateProfileStringA(nullptr, nullptr, nullptr, path.c_str());
        std::vector<char> buffer(size + 1, '#');
        DWORD returned = GetPrivateProfileStringA(section.c_str(), key.c_str(), "", buffer.data(),
                                                  static_cast<DWORD>(size), path.c_str());
        const std::string system(buffer.data(), returned);

        std::string ours;
        if (row.input != "<nofile>" && row.input != "<dir>") {
            std::ifstream file(path, std::ios::binary);
            std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
            ours = velloran::SettingsDocument(bytes).get(section, key, size);
        }

        EXPECT_EQ(ours, decode(row.expected)) << "our reader differs from Windows";
        if (row.wineNote.starts_with("same")) {
            EXPECT_EQ(system, ours) << "Wine's reader differs where the table says it does not";
            ++compared;
        } else {
            const Answer wine = noteAnswer(row.wineNote);
            EXPECT_EQ(system, wine.value) << "Wine no longer answers as the table notes";
            EXPECT_EQ(returned, wine.returned);
            ++noted;
        }
    }
    EXPECT_EQ(compared + noted, 45);
}

}  // namespace
