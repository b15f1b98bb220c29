// The program's own file names: the resumable files' names are found again
// by the next run, within the file system's name limit, and never taken for
// the temporary file of one process or for a name a manifest may use.
#include <gtest/gtest.h>

#include <string>

#include "file_names.h"

namespace {

using namespace velloran;

TEST(FileNames, ResumeNamesFitTheLimitAndAreRecognised) {
    const std::string longName(300, 'n');
    struct Case {
        const char* name;
        std::string target;
        std::size_t limit;
        std::string resume;
        std::string info;
    } const cases[] = {
        {"short", "a.dat", 255, "~velloran-a.dat.resume.part", "~velloran-a.dat.resume-from.part"},
        {"a name that ends like one", "x.resume", 255, "~velloran-x.resume.resume.part",
         "~velloran-x.resume.resume-from.part"},
        {"long: the end of the name gives way", longName, 255,
         "~velloran-" + std::string(255 - 22, 'n') + ".resume.part",
         "~velloran-" + std::string(255 - 27, 'n') + ".resume-from.part"},
        {"exactly at the limit", std::string(10, 'n'), 32, "~velloran-nnnnnnnnnn.resume.part",
         "~velloran-nnnnn.resume-from.part"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(resumeFileName(c.target, c.limit), c.resume);
        EXPECT_EQ(resumeInfoName(c.target, c.limit), c.info);
        EXPECT_LE(c.resume.size(), c.limit);
        EXPECT_LE(c.info.size(), c.limit);
        EXPECT_TRUE(isResumeFileName(c.resume));
        EXPECT_TRUE(isResumeFileName(c.info));
        // Still a temporary name: never a name a manifest may use.
        EXPECT_TRUE(isTempFileName(c.resume));
    }
}

TEST(FileNames, OnlyResumeNamesAreResumeNames) {
    struct Case {
        std::string name;
        bool resume;
    } const cases[] = {
        {tempFileName("a.dat", "1234"), false},  // a process's temporary file
        {tempFileName("a.resume", "1234"), false},
        {tempFileName("a.dat", "1234-1"), false},
        {tempFileName(std::string(300, 'n'), "1234"), false},
        {"~velloran-a.dat.resume.part", true},
        {"~velloran-a.dat.resume-from.part", true},
        {"a.dat.resume.part", false},         // not ours: no prefix
        {"~velloran-a.dat.resume", false},    // no suffix
        {"~velloran-a.dat.resumes.part", false},
        {"~velloran-a.dat-resume.part", false},
        {"~velloran-.part", false},
        {"", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(isResumeFileName(c.name), c.resume);
    }
}

}  // namespace
