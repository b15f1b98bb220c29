// velloran-publish: makes and checks the update site that velloran-update
// reads. See usage() and docs/PUBLISHING.md.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "build.h"
#include "failure.h"
#include "fs.h"
#include "plan.h"
#include "progress.h"
#include "signing.h"
#include "site.h"
#include "verify.h"

namespace {

using namespace velloran;
using namespace velloran::publish;

enum Exit { kOk = 0, kRefused = 1, kUsage = 2, kInput = 3, kWrite = 4 };

const char* const kUsageText =
    "usage:\n"
    "  velloran-publish build RELEASE_FOLDER SITE_FOLDER --version V [--game NAME] [--news FILE]\n"
    "                         [--file-version V] [--layout flat|tree] [--key PRIVATE.pem [--fresh-days N]]\n"
    "      Publishes the files of RELEASE_FOLDER as release V of the update site in SITE_FOLDER (an empty\n"
    "      folder for the first release). Unchanged files keep their FileVersion, changed and new ones get\n"
    "      --file-version (default V); files gone from the release stay listed. Refuses, writing nothing,\n"
    "      whatever a client would trip over. --layout flat (default): FileName is the base name, FilePath\n"
    "      the folder; tree: FileName is the path in the release and the site mirrors the release folder.\n"
    "      With --key: signs the release (Serial one past the previous, Expires N days ahead, default 90),\n"
    "      writing info.ini.sig for the new info.ini just before info.ini itself.\n"
    "  velloran-publish verify SITE_FOLDER [--key PUBLIC.pem]\n"
    "      Checks that every listed file is on the site with its promised size and hash, that the client\n"
    "      accepts every name, that no two names are one file, and that Max covers every entry. With --key:\n"
    "      also that info.ini.sig is that key's signature over info.ini and that the publication is fresh.\n"
    "  velloran-publish keygen PRIVATE.pem PUBLIC.pem\n"
    "      Makes a publisher key pair (ECDSA P-256). Neither file may exist yet.\n"
    "  velloran-publish plan SITE_FOLDER (--from INFO_INI | --from-folder INSTALLED_FOLDER | --fresh)\n"
    "      Runs the client's own update logic against the site without writing anything, from a player's\n"
    "      info.ini, an installed folder, or a fresh install, and shows what it would fetch and show.\n"
    "\n"
    "exit codes:\n"
    "  0  done; the site is sound; the client's run would succeed\n"
    "  1  build refused (nothing written); verify found problems; the planned run would fail\n"
    "  2  bad command line\n"
    "  3  missing or unreadable input: a folder or file that is not there, a site folder that is not a site\n"
    "  4  reading or writing failed part-way (build: the previous info.ini still stands)\n";

int usageError(const std::string& text) {
    std::fprintf(stderr, "velloran-publish: %s\n\n%s", text.c_str(), kUsageText);
    return kUsage;
}

int failureExit(const Failure& failure) {
    switch (failure.kind()) {
        case FailureKind::Refused: return kRefused;
        case FailureKind::NotFound: return kInput;
        default: return kWrite;
    }
}

// The positional arguments and --name value options of one command.
struct Arguments {
    std::vector<std::string> positional;
    std::map<std::string, std::string> options;
    std::vector<std::string> flags;
};

std::optional<Arguments> parse(int argc, char** argv, const std::vector<std::string>& valued,
                               const std::vector<std::string>& flags, std::string& error) {
    Arguments args;
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        if (!arg.starts_with("--")) {
            args.positional.push_back(arg);
        } else if (std::find(valued.begin(), valued.end(), arg) != valued.end()) {
            if (i + 1 >= argc) {
                error = arg + " needs a value";
                return std::nullopt;
            }
            if (!args.options.emplace(arg, argv[++i]).second) {
                error = arg + " is given twice";
                return std::nullopt;
            }
        } else if (std::find(flags.begin(), flags.end(), arg) != flags.end()) {
            args.flags.push_back(arg);
        } else {
            error = "unknown option " + arg;
            return std::nullopt;
        }
    }
    return args;
}

std::optional<std::string> option(const Arguments& args, const std::string& name) {
    auto it = args.options.find(name);
    if (it == args.options.end()) return std::nullopt;
    return it->second;
}

std::string someOf(const std::vector<std::string>& names) {
    std::string text;
    for (std::size_t i = 0; i < names.size() && i < 8; ++i) text += (i ? ", " : "") + names[i];
    if (names.size() > 8) text += ", and " + std::to_string(names.size() - 8) + " more";
    return text;
}

void printPlan(const PlanResult& plan) {
    for (const std::string& event : plan.events) {
        const std::size_t tab = event.find('\t');
        std::printf("  %-8s %s\n", event.substr(0, tab).c_str(), event.substr(tab + 1).c_str());
    }
}

// What a player of the previous release fetches from the new site.
std::string downloadsText(FileSystem& fs, const std::string& site, const BuildReport& report, bool& failed) {
    const PlanResult plan = planUpdate(fs, site, PlayerState{report.previousManifest, {}});
    std::uint64_t bytes = 0;
    for (const Fetch& f : plan.files) bytes += f.bytes;
    failed = !plan.failure.empty();
    if (failed) return "A player at release " + report.previousVersion + " would fail: " + plan.failure;
    return "A player at release " + report.previousVersion + " downloads " + std::to_string(plan.files.size()) +
           " files, " + std::to_string(bytes) + " bytes (" + byteText(bytes) + ").";
}

std::int64_t secondsNow() {
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// The whole text of a key file named on the command line.
std::optional<std::string> keyText(FileSystem& fs, const std::string& path) {
    return fs.stamp(path) ? fs.readFile(path, 64 * 1024) : std::nullopt;
}

int build(int argc, char** argv) {
    std::string error;
    auto args = parse(argc, argv, {"--version", "--game", "--news", "--file-version", "--layout", "--key", "--fresh-days"},
                      {}, error);
    if (!args) return usageError(error);
    if (args->positional.size() != 2) return usageError("build needs RELEASE_FOLDER and SITE_FOLDER");
    BuildOptions options;
    auto fs = makeFileSystem();
    options.release = absoluteFolder(args->positional[0]);
    options.site = absoluteFolder(args->positional[1]);
    const auto version = option(*args, "--version");
    if (!version) return usageError("build needs --version");
    options.version = *version;
    options.game = option(*args, "--game");
    options.news = option(*args, "--news");
    options.fileVersion = option(*args, "--file-version");
    const std::string layout = option(*args, "--layout").value_or("flat");
    if (layout != "flat" && layout != "tree") return usageError("--layout is flat or tree");
    options.layout = layout == "tree" ? Layout::Tree : Layout::Flat;
    std::optional<Signing> signing;
    if (const auto key = option(*args, "--key")) {
        signing = Signing{};
        const auto pem = keyText(*fs, *key);
        if (!pem) {
            std::fprintf(stderr, "velloran-publish: cannot read the key %s\n", key->c_str());
            return kInput;
        }
        signing->privateKeyPem = *pem;
        signing->now = secondsNow();
        if (const auto days = option(*args, "--fresh-days")) {
            const auto n = parseByteCount(*days);
            if (!n || *n < 1 || *n > 3650) return usageError("--fresh-days is a number of days from 1 to 3650");
            signing->freshDays = static_cast<std::int64_t>(*n);
        }
    } else if (option(*args, "--fresh-days")) {
        return usageError("--fresh-days goes with --key");
    }

    Progress progress(stderr, isTerminal(stderr));
    BuildReport report;
    try {
        report = buildSite(*fs, options, progress, signing);
    } catch (const Failure& failure) {
        progress.finish();
        if (failure.kind() == FailureKind::Refused) {
            std::fprintf(stderr, "velloran-publish: nothing was published:\n");
            std::string text = failure.what();
            for (std::size_t start = 0; start <= text.size();) {
                const std::size_t end = std::min(text.find('\n', start), text.size());
                std::fprintf(stderr, "  %s\n", text.substr(start, end - start).c_str());
                start = end + 1;
            }
        } else {
            std::fprintf(stderr, "velloran-publish: %s\n", failure.what());
        }
        return failureExit(failure);
    }
    const std::string after =
        report.previousManifest ? "previous release " + report.previousVersion : std::string("first release");
    std::printf("Published release %s to %s (%s), %zu entries, layout %s.\n", options.version.c_str(),
                options.site.c_str(), after.c_str(), report.entries, layout.c_str());
    std::printf("  added    %zu  %s\n", report.added.size(), someOf(report.added).c_str());
    std::vector<std::string> changed;
    for (const auto& c : report.changed) changed.push_back(c.path + " (" + c.from + " -> " + c.to + ")");
    std::printf("  changed  %zu  %s\n", changed.size(), someOf(changed).c_str());
    std::printf("  kept     %zu\n", report.kept.size());
    std::printf("  gone     %zu  %s%s\n", report.gone.size(), someOf(report.gone).c_str(),
                report.gone.empty() ? "" : " (still listed: the client never deletes files)");
    std::printf("  copied   %llu files, %s\n", static_cast<unsigned long long>(report.copiedFiles),
                byteText(report.copiedBytes).c_str());
    if (!report.previousManifest) return kOk;
    bool failed = false;
    std::printf("%s\n", downloadsText(*fs, options.site, report, failed).c_str());
    return failed ? kRefused : kOk;
}

int verify(int argc, char** argv) {
    std::string error;
    auto args = parse(argc, argv, {"--key"}, {}, error);
    if (!args) return usageError(error);
    if (args->positional.size() != 1) return usageError("verify needs SITE_FOLDER");
    auto fs = makeFileSystem();
    std::optional<std::string> publicKey;
    if (const auto key = option(*args, "--key")) {
        publicKey = keyText(*fs, *key);
        if (!publicKey) {
            std::fprintf(stderr, "velloran-publish: cannot read the key %s\n", key->c_str());
            return kInput;
        }
    }
    Progress progress(stderr, isTerminal(stderr));
    std::vector<std::string> problems;
    try {
        const std::string site = absoluteFolder(args->positional[0]);
        problems = publicKey ? verifySignedSite(*fs, site, *publicKey, secondsNow(), progress)
                             : verifySite(*fs, site, progress);
    } catch (const Failure& failure) {
        progress.finish();
        std::fprintf(stderr, "velloran-publish: %s\n", failure.what());
        return failureExit(failure) == kRefused ? kInput : failureExit(failure);
    }
    for (const std::string& p : problems) std::printf("%s\n", p.c_str());
    if (problems.empty()) std::printf("The site is sound.\n");
    return problems.empty() ? kOk : kRefused;
}

int keygen(int argc, char** argv) {
    std::string error;
    auto args = parse(argc, argv, {}, {}, error);
    if (!args) return usageError(error);
    if (args->positional.size() != 2) return usageError("keygen needs PRIVATE.pem and PUBLIC.pem");
    auto fs = makeFileSystem();
    const std::string privatePath = args->positional[0], publicPath = args->positional[1];
    // A key is never overwritten: losing the old one means shipping a new
    // client to every player.
    for (const std::string& path : {privatePath, publicPath})
        if (fs->stamp(path)) {
            std::fprintf(stderr, "velloran-publish: %s exists; keygen never overwrites a key\n", path.c_str());
            return kRefused;
        }
    const P256KeyPair pair = makeP256KeyPair();
    for (const auto& [path, text] : {std::pair{privatePath, pair.privatePem}, std::pair{publicPath, pair.publicPem}}) {
        auto out = fs->create(path, Durability::Now);
        out->write(text.data(), text.size());
        out->commit();
    }
    std::printf("Made the key pair %s (private: keep it off the build machine) and %s (public: build clients "
                "with -DVELLORAN_PUBLIC_KEYS=%s).\n",
                privatePath.c_str(), publicPath.c_str(), publicPath.c_str());
    return kOk;
}

int plan(int argc, char** argv) {
    std::string error;
    auto args = parse(argc, argv, {"--from", "--from-folder"}, {"--fresh"}, error);
    if (!args) return usageError(error);
    if (args->positional.size() != 1) return usageError("plan needs SITE_FOLDER");
    const auto from = option(*args, "--from");
    const auto folder = option(*args, "--from-folder");
    if ((from ? 1 : 0) + (folder ? 1 : 0) + (args->flags.empty() ? 0 : 1) != 1)
        return usageError("plan needs one of --from INFO_INI, --from-folder INSTALLED_FOLDER and --fresh");
    auto fs = makeFileSystem();
    const std::string site = absoluteFolder(args->positional[0]);
    if (!isFolder(*fs, site) || !fs->stamp(site + fs->separator() + "info.ini")) {
        std::fprintf(stderr, "velloran-publish: %s holds no info.ini: it is not an update site\n", site.c_str());
        return kInput;
    }
    PlayerState state;
    std::string start = "a fresh install";
    if (from) {
        state.localManifest = fs->stamp(*from) ? fs->readFile(*from, 64u << 20) : std::nullopt;
        if (!state.localManifest) {
            std::fprintf(stderr, "velloran-publish: cannot read %s\n", from->c_str());
            return kInput;
        }
        start = *from;
    } else if (folder) {
        state.installedFolder = absoluteFolder(*folder);
        if (!isFolder(*fs, state.installedFolder)) {
            std::fprintf(stderr, "velloran-publish: the folder %s does not exist\n", folder->c_str());
            return kInput;
        }
        start = state.installedFolder;
    }
    const PlanResult result = planUpdate(*fs, site, state);
    std::printf("The client, starting from %s, against %s:\n", start.c_str(), site.c_str());
    printPlan(result);
    std::uint64_t bytes = 0;
    std::vector<std::string> names;
    for (const Fetch& f : result.files) bytes += f.bytes, names.push_back(f.name);
    std::printf("It fetches %zu files, %llu bytes%s%s\n", result.files.size(), static_cast<unsigned long long>(bytes),
                names.empty() ? "" : ": ", someOf(names).c_str());
    if (!result.failure.empty()) {
        std::printf("It stops with: %s\n", result.failure.c_str());
        return kRefused;
    }
    std::printf("It ends with: %s\n", result.outcome.c_str());
    return kOk;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return usageError("a command is needed");
    const std::string command = argv[1];
    try {
        if (command == "--help" || command == "-h" || command == "help") {
            std::printf("%s", kUsageText);
            return kOk;
        }
        if (command == "build") return build(argc, argv);
        if (command == "verify") return verify(argc, argv);
        if (command == "plan") return plan(argc, argv);
        if (command == "keygen") return keygen(argc, argv);
    } catch (const Failure& failure) {
        std::fprintf(stderr, "velloran-publish: %s\n", failure.what());
        return failureExit(failure);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "velloran-publish: %s\n", e.what());
        return kWrite;
    }
    return usageError("unknown command " + command);
}
