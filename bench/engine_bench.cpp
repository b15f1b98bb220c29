// In-process measurements of the engine (Google Benchmark).
//
//   Manifest/Parse/N         parsing a manifest of N entries (in memory)
//   Manifest/LoadTables/N    loadFileTables over real local and remote
//                            manifests of N entries (real file system)
//   Manifest/FilePass/N      runFilePass over N entries with nothing to fetch
//   Download/ChunkLoop       downloadFile's per-chunk work for a 64 MiB body
//                            from an in-memory transfer into a discarding file
//   Disk/Store4KiB/durable   storing one 4 KiB file the way the program does:
//                            temporary file, fdatasync, rename, folder fsync
//   Disk/Store4KiB/plain     the same bytes with open, write, close (curl -o)
//
// The whole-program figures come from scripts/bench; these show where the
// time of a run goes and that the manifest work grows linearly.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "engine_services.h"
#include "folder_fs.h"
#include "manifest_text.h"
#include "fs.h"
#include "http.h"
#include "mod_update.h"
#include "settings.h"

namespace {

struct Headless : velloran::StatusSurface, velloran::FailureReport {
    long percentages = 0;
    void showWindow() override {}
    void setCaption(const std::string&) override {}
    void setMainStatus(const std::string& t) override { benchmark::DoNotOptimize(t.data()); }
    void setDetailStatus(const std::string& t) override { benchmark::DoNotOptimize(t.data()); }
    void setPercentage(const std::string& t) override {
        benchmark::DoNotOptimize(t.data());
        ++percentages;
    }
    void setNews(const std::string&) override {}
    void setLaunchEnabled(bool) override {}
    void pumpMessages() override {}
    void reportFailure(const std::string& text) override {
        std::fprintf(stderr, "failure: %s\n", text.c_str());
        std::abort();
    }
};

// A new folder for scratch files, under $VELLORAN_BENCH_DIR (default /tmp).
std::string scratchFolder() {
    const char* root = std::getenv("VELLORAN_BENCH_DIR");
    std::string pattern = std::string(root && *root ? root : "/tmp") + "/velloran-engine-bench.XXXXXX";
    if (!::mkdtemp(pattern.data())) std::abort();
    return pattern;
}

// A manifest of n entries, every file at version `fileVersion`.
std::string manifest(long n, const std::string& version, const std::string& fileVersion) {
    std::vector<velloran::test::Entry> entries;
    entries.reserve(static_cast<std::size_t>(n));
    for (long i = 1; i <= n; ++i) entries.push_back({"file" + std::to_string(i) + ".dat", fileVersion, ""});
    return velloran::test::manifest(version, entries);
}

// A program folder with a local info.ini and a remote temp.ini of n entries
// at equal file versions; removed at the end.
class ManifestFolder {
public:
    explicit ManifestFolder(long n) : folder_(scratchFolder()) {
        std::ofstream(folder_ + "/info.ini", std::ios::binary) << manifest(n, "1.0", "1.0");
        std::ofstream(folder_ + "/temp.ini", std::ios::binary) << manifest(n, "1.1", "1.0");
    }
    ~ManifestFolder() { std::filesystem::remove_all(folder_); }
    const std::string& path() const { return folder_; }

private:
    std::string folder_;
};

using velloran::test::FolderFs;

// Tables of n empty records, as the update run makes them.
void freshTables(long n) {
    modUpdate::resetEngineValues();
    modUpdate::fileCount = static_cast<std::int32_t>(n);
    modUpdate::localFiles.reset(n);
    modUpdate::remoteFiles.reset(n);
}

void ManifestParse(benchmark::State& state) {
    const std::string text = manifest(state.range(0), "1.1", "1.0");
    for (auto _ : state) {
        velloran::SettingsDocument document(text);
        benchmark::DoNotOptimize(document);
    }
    state.SetComplexityN(state.range(0));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(ManifestParse)->Name("Manifest/Parse")->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond)->Complexity(benchmark::oN);

// A program folder with both manifests of n entries, and the services over
// it; each run() starts from fresh tables and nothing parsed.
struct ManifestBench {
    explicit ManifestBench(long entries) : n(entries), folder(n), fs(folder.path()) {}
    long n;
    ManifestFolder folder;
    FolderFs fs;
    Headless window;
    const modUpdate::Services services = velloran::test::engineServices(window, fs);
};

void ManifestLoadTables(benchmark::State& state) {
    ManifestBench bench(state.range(0));
    for (auto _ : state) {
        state.PauseTiming();
        freshTables(bench.n);
        modUpdate::Context run(bench.services);
        state.ResumeTiming();
        modUpdate::loadFileTables(run);
    }
    if (modUpdate::remoteFiles[bench.n].FileName != "file" + std::to_string(bench.n) + ".dat")
        state.SkipWithError("the tables were not filled");
    state.SetComplexityN(bench.n);
}
BENCHMARK(ManifestLoadTables)->Name("Manifest/LoadTables")->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond)->Complexity(benchmark::oN);

void ManifestFilePass(benchmark::State& state) {
    ManifestBench bench(state.range(0));
    for (auto _ : state) {
        state.PauseTiming();
        freshTables(bench.n);
        modUpdate::Context run(bench.services);
        modUpdate::loadFileTables(run);
        state.ResumeTiming();
        modUpdate::runFilePass(run);
    }
    if (modUpdate::progressCount != 0) state.SkipWithError("the pass fetched something");
    state.SetComplexityN(bench.n);
}
BENCHMARK(ManifestFilePass)->Name("Manifest/FilePass")->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond)->Complexity(benchmark::oN);

// A transfer that serves `size` zero bytes from memory, at once.
class MemoryTransfer final : public velloran::HttpTransfer {
public:
    explicit MemoryTransfer(std::size_t size) : size_(size) {}
    void begin(const std::string&) override { left_ = size_; }
    void poll(std::chrono::milliseconds) override {}
    bool headReady() const override { return true; }
    int status() const override { return 200; }
    std::optional<std::uint64_t> contentLength() const override { return size_; }
    std::size_t read(char* out, std::size_t max) override {
        const std::size_t n = std::min(max, left_);
        std::memset(out, 0, n);
        left_ -= n;
        return n;
    }
    bool finished() const override { return left_ == 0; }
    std::string error() const override { return {}; }
    velloran::FailureKind errorKind() const override { return velloran::FailureKind::Network; }

private:
    std::size_t size_;
    std::size_t left_ = 0;
};

class DiscardFile final : public velloran::OutputFile {
public:
    explicit DiscardFile(std::size_t& written) : written_(written) {}
    void write(const char* data, std::size_t size) override {
        benchmark::DoNotOptimize(data);
        written_ += size;
    }
    void commit() override {}

private:
    std::size_t& written_;
};

class DiscardFs final : public velloran::FileSystem {
public:
    std::size_t written = 0;
    std::string programFolder() const override { return "/nowhere"; }
    char separator() const override { return '/'; }
    bool isPlainFile(const std::string&) override { return false; }
    std::string findEntry(const std::string&, const std::string&) override { return {}; }
    bool liesOutside(const std::string&, const std::string&) override { return false; }
    void makeFolder(const std::string&) override {}
    std::unique_ptr<velloran::OutputFile> create(const std::string&, velloran::Durability) override {
        return std::make_unique<DiscardFile>(written);
    }
    void syncAll() override {}
    void remove(const std::string&) override {}
    std::optional<velloran::FileStamp> stamp(const std::string&) override { return std::nullopt; }
    std::optional<std::string> readFile(const std::string&, std::size_t) override { return std::nullopt; }
    std::vector<std::string> list(const std::string&) override { return {}; }
};

void DownloadChunkLoop(benchmark::State& state) {
    const std::size_t size = 64u << 20;
    MemoryTransfer http(size);
    DiscardFs fs;
    Headless window;
    const modUpdate::Services services = velloran::test::engineServices(window, fs, &http);
    modUpdate::resetEngineValues();
    modUpdate::baseUrl = "http://127.0.0.1/updates/";
    modUpdate::Context run(services);
    for (auto _ : state) modUpdate::downloadFile(run, "big.bin", "big.bin");
    if (fs.written != size * state.iterations()) state.SkipWithError("short download");
    state.SetBytesProcessed(static_cast<std::int64_t>(size * state.iterations()));
    state.counters["per_chunk"] = benchmark::Counter(
        static_cast<double>(window.percentages), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(DownloadChunkLoop)->Name("Download/ChunkLoop")->Unit(benchmark::kMillisecond);

// Folders that the disk benchmarks fill. They are removed only when the
// process ends: on some file systems (ext4 without a journal) creating files
// right after deleting many is slower, which would distort the next case.
struct Scratch {
    std::vector<std::string> folders;
    std::string make() { return folders.emplace_back(scratchFolder()); }
    ~Scratch() {
        for (const auto& f : folders) std::filesystem::remove_all(f);
    }
} scratch;

// Storing a 4 KiB file through the file service: flushed on its own
// (Durability::Now), or left for the one sync at the end of an update.
void DiskStore(benchmark::State& state) {
    const std::string folder = scratch.make();
    auto fs = velloran::makeFileSystem();
    const auto durability = state.range(0) ? velloran::Durability::Now : velloran::Durability::Later;
    const std::string bytes(4096, 'x');
    long i = 0;
    for (auto _ : state) {
        auto out = fs->create(folder + "/f" + std::to_string(i++) + ".dat", durability);
        out->write(bytes.data(), bytes.size());
        out->commit();
    }
}
BENCHMARK(DiskStore)->Name("Disk/Store4KiB/durable")->Arg(1)->Iterations(1000)->Unit(benchmark::kMicrosecond);
BENCHMARK(DiskStore)->Name("Disk/Store4KiB/later")->Arg(0)->Iterations(1000)->Unit(benchmark::kMicrosecond);

void DiskStorePlain(benchmark::State& state) {
    const std::string folder = scratch.make();
    const std::string bytes(4096, 'x');
    long i = 0;
    for (auto _ : state) {
        const std::string path = folder + "/f" + std::to_string(i++) + ".dat";
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        if (fd < 0 || ::write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) std::abort();
        ::close(fd);
    }
}
BENCHMARK(DiskStorePlain)->Name("Disk/Store4KiB/plain")->Iterations(1000)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
