#include "fetcher.h"

#include <algorithm>
#include <optional>

#include "ascii.h"
#include "digest.h"
#include "failure.h"
#include "file_names.h"
#include "http.h"
#include "paths.h"
#include "target.h"
#include "text.h"

namespace modUpdate {
namespace {

using Clock = std::chrono::steady_clock;
using velloran::Failure;
using velloran::FailureKind;

// Label4 counts the body in pieces of this size, whatever size the bytes
// arrive in, so its texts depend only on the file's length.
constexpr std::uint64_t kShownPiece = 1024;
// Bytes beyond the announced length that are read (and dropped) to keep the
// connection; more than this and the connection is given up instead.
constexpr std::size_t kDrainLimit = 64 * 1024;
// The most body bytes one job takes from its transfer before the others get
// their turn.
constexpr std::size_t kServeLimit = 1u << 20;
// Files from this size on (and those of unknown size) keep their bytes for a
// later attempt; below it a new attempt costs less than the bookkeeping.
constexpr std::uint64_t kResumableFrom = 1u << 20;
// The part of a file name that its temporary and resumable files keep
// whatever their suffix, in a name of at most 255 bytes.
constexpr std::size_t kNameKept = 200;
// A Retry-After from this long on is no transient failure.
constexpr std::chrono::seconds kLongestRetryAfter{60};
// The note beside a resumable file: its first line, then the address and
// the validator the kept bytes came with.
constexpr std::string_view kNoteHeading = "velloran resume 1";

// A gateway's answers that say "not now" rather than "no".
bool transientStatus(int status) { return status == 502 || status == 503 || status == 504; }

// "bytes FIRST-LAST/LENGTH" of a 206 answer.
struct ContentRange {
    std::uint64_t first = 0, last = 0, length = 0;
};

std::optional<ContentRange> parseContentRange(std::string_view text) {
    text = velloran::trimSpaces(text);
    if (!velloran::startsWithIgnoringCase(text, "bytes ")) return std::nullopt;
    text = velloran::trimSpaces(text.substr(6));
    const std::size_t dash = text.find('-'), slash = text.find('/');
    if (dash == std::string_view::npos || slash == std::string_view::npos || dash > slash) return std::nullopt;
    const auto first = velloran::parseByteCount(text.substr(0, dash));
    const auto last = velloran::parseByteCount(text.substr(dash + 1, slash - dash - 1));
    const auto length = velloran::parseByteCount(text.substr(slash + 1));
    if (!first || !last || !length || *first > *last || *last >= *length) return std::nullopt;
    return ContentRange{*first, *last, *length};
}

// What a later request may send in If-Range: a strong ETag, else the date.
std::string validatorOf(const velloran::HttpTransfer& http) {
    const std::string etag = http.header("ETag");
    if (!etag.empty() && !etag.starts_with("W/")) return etag;
    return http.header("Last-Modified");
}

}  // namespace

struct Fetcher::Job {
    FetchOrder order;
    std::string url;
    enum class State { Queued, Asking, Receiving, Pausing, Done, Failed } state = State::Queued;
    // Counts against the orders ahead from its first start on.
    bool started = false;
    // The transfer it uses while Asking or Receiving.
    velloran::HttpTransfer* http = nullptr;
    std::unique_ptr<velloran::HttpTransfer> owned;
    Target target;
    std::string resumePath, notePath;
    // This attempt asked for the bytes from `offset` on, with `validator`.
    std::uint64_t offset = 0;
    std::string validator;
    std::unique_ptr<velloran::OutputFile> file;
    std::unique_ptr<velloran::ResumableFile> resumable;
    std::unique_ptr<velloran::Sha256> digest;
    std::optional<std::uint64_t> promisedSize;
    std::string kept;  // the whole body, for a check that needs it
    std::optional<std::uint64_t> total;  // the file's length, as announced
    std::uint64_t received = 0;          // bytes of the file held
    std::size_t dropped = 0;             // bytes past the announced length
    std::size_t retries = 0;
    Clock::time_point retryAt;
    std::optional<Failure> failure;
    // The bytes it will take on disk, as far as known: for the bound ahead.
    std::uint64_t expected = 0;
    // Which files it may share its temporary and resumable files with: the
    // same folder and name, or names that agree up to where those files'
    // names cut them short, compared without regard to case.
    std::string sharesWith;
    // An earlier attempt left bytes in its resumable file.
    bool keptOnDisk = false;

    velloran::OutputFile& output() { return resumable ? *resumable : *file; }
};

Fetcher::Fetcher(Context& run, bool ahead) : run_(run), ahead_(ahead && run.services.filesAhead > 0) {
    if (ahead_) {
        waiter_ = run_.http().another();
        ahead_ = waiter_ != nullptr;
    }
}

Fetcher::~Fetcher() {
    for (auto& job : jobs_) release(*job);
}

void Fetcher::add(FetchOrder order) {
    auto job = std::make_unique<Job>();
    job->url = velloran::encodeRequestAddress(baseUrl + order.remoteName);
    job->promisedSize = velloran::parseByteCount(order.checks.promise.size);
    job->expected = job->promisedSize.value_or(0);
    job->sharesWith = velloran::lowerAscii(order.folder) + '\n' +
                      velloran::lowerAscii(std::string_view(order.localName).substr(0, kNameKept));
    job->order = std::move(order);
    jobs_.push_back(std::move(job));
    startMore();
}

std::vector<std::string> Fetcher::resumePaths() const {
    std::vector<std::string> paths;
    for (const auto& job : jobs_) {
        const Target target = locateTarget(run_.fs(), job->order.folder, job->order.localName);
        const std::size_t cut = target.path.rfind(run_.fs().separator());
        const std::string folder = target.path.substr(0, cut + 1), name = target.path.substr(cut + 1);
        paths.push_back(folder + velloran::resumeFileName(name));
        paths.push_back(folder + velloran::resumeInfoName(name));
    }
    return paths;
}

std::uint64_t Fetcher::bytesAheadBesides(const Job& job) const {
    std::uint64_t sum = 0;
    for (std::size_t i = 1; i < jobs_.size(); ++i)
        if (jobs_[i].get() != &job && jobs_[i]->started) sum += jobs_[i]->expected;
    return sum;
}

void Fetcher::launch(Job& job) {
    try {
        start(job);
    } catch (const Failure& failure) {
        end(job, failure);
    }
}

void Fetcher::startMore() {
    if (jobs_.empty()) return;
    if (!jobs_.front()->started) launch(*jobs_.front());
    if (!ahead_) return;
    std::size_t running = 0;
    std::uint64_t bytes = 0;
    for (std::size_t i = 1; i < jobs_.size(); ++i) {
        Job& job = *jobs_[i];
        if (job.started) {
            ++running;
            bytes += job.expected;
            continue;
        }
        // In order: a file that does not fit yet waits, and so do the ones
        // after it, until the files before it are taken. So does a file
        // whose temporary or resumable file an earlier one may be writing (a
        // name listed twice, or names cut short alike).
        if (running >= run_.services.filesAhead || bytes + job.expected > run_.services.bytesAhead) break;
        const bool shared = std::any_of(jobs_.begin(), jobs_.begin() + static_cast<std::ptrdiff_t>(i), [&](const auto& earlier) {
            return earlier->started && earlier->sharesWith == job.sharesWith;
        });
        if (shared) break;
        launch(job);
        ++running;
        bytes += job.expected;
    }
}

velloran::HttpTransfer* Fetcher::acquire(Job& job) {
    if (!ahead_) return &run_.http();
    if (!idle_.empty()) {
        job.owned = std::move(idle_.back());
        idle_.pop_back();
    } else {
        job.owned = waiter_->another();
    }
    if (!job.owned) throw Failure(FailureKind::Network, "Could not download " + job.url + ": no transfer available");
    return job.owned.get();
}

void Fetcher::release(Job& job) {
    job.http = nullptr;
    // A transfer whose request is still running is not reused: the request
    // would go on pulling bytes nobody reads.
    if (job.owned && job.owned->finished()) idle_.push_back(std::move(job.owned));
    job.owned.reset();
    // A plain file not committed is deleted; a resumable one keeps its bytes.
    job.file.reset();
    job.resumable.reset();
    job.digest.reset();
    job.kept.clear();
}

void Fetcher::start(Job& job) {
    job.started = true;
    job.failure.reset();
    job.total.reset();
    job.received = 0;
    job.dropped = 0;
    job.offset = 0;
    job.validator.clear();
    job.keptOnDisk = false;

    auto& fs = run_.fs();
    // The way to the target is looked at before the request, so a refused
    // target costs no request, and again once the answer is known to be good.
    job.target = locateTarget(fs, job.order.folder, job.order.localName);
    if (!job.target.leadsOutside.empty()) return end(job, refusedWay(job, job.target));
    const std::size_t cut = job.target.path.rfind(fs.separator());
    const std::string folder = job.target.path.substr(0, cut + 1), name = job.target.path.substr(cut + 1);
    job.resumePath = folder + velloran::resumeFileName(name);
    job.notePath = folder + velloran::resumeInfoName(name);

    // Bytes kept by an earlier attempt are continued when their note says
    // they came from this address, with a validator to ask If-Range with.
    if (!job.order.checks.vet && job.target.missingFolders.empty()) {
        const auto stamp = fs.stamp(job.resumePath);
        job.keptOnDisk = stamp && stamp->size > 0;
        const auto note = job.keptOnDisk ? fs.readFile(job.notePath, 8192) : std::nullopt;
        if (note) {
            std::vector<std::string> lines;
            std::size_t from = 0;
            for (std::size_t end; (end = note->find('\n', from)) != std::string::npos; from = end + 1)
                lines.push_back(note->substr(from, end - from));
            if (lines.size() == 3 && lines[0] == kNoteHeading && lines[1] == job.url && !lines[2].empty()) {
                job.offset = stamp->size;
                job.validator = lines[2];
            }
        }
    }

    job.http = acquire(job);
    if (job.offset > 0)
        job.http->beginFrom(job.url, job.offset, job.validator);
    else
        job.http->begin(job.url);
    job.state = Job::State::Asking;
}

// The kept bytes cannot be continued: the same request again, for the whole
// file. Costs no retry.
void Fetcher::startOver(Job& job) {
    release(job);
    run_.fs().remove(job.notePath);
    job.http = acquire(job);
    job.offset = 0;
    job.validator.clear();
    job.http->begin(job.url);
    job.state = Job::State::Asking;
}

void Fetcher::fail(Job& job, FailureKind kind, const std::string& why) {
    end(job, Failure(kind, "Could not download " + job.url + ": " + why));
}

void Fetcher::end(Job& job, Failure failure) {
    release(job);
    job.state = Job::State::Failed;
    job.failure = std::move(failure);
}

Failure Fetcher::refusedWay(const Job& job, const Target& target) {
    return Failure(FailureKind::Refused, "Refused to store \"" + job.order.localName + "\": " + target.leadsOutside +
                                             " is a link that leads outside the program folder");
}

void Fetcher::attemptFailed(Job& job, FailureKind kind, const std::string& why, bool transient,
                            std::chrono::milliseconds retryAfter) {
    const auto& pauses = run_.services.retryPauses;
    if (!transient || job.retries >= pauses.size()) return fail(job, kind, why);
    release(job);
    job.retryAt = Clock::now() + std::max(pauses[job.retries++], retryAfter);
    job.state = Job::State::Pausing;
}

bool Fetcher::brokenLink(const velloran::HttpTransfer& http) const {
    // A site that never answered in this run is taken as absent, and said so
    // at once; a transport failure after it did answer is a link that broke.
    return http.errorKind() == FailureKind::Network && run_.siteAnswered;
}

bool Fetcher::service(Job& job, bool current) {
    // A job's failure (a disk that is full, a folder that cannot be made)
    // belongs to its file and is reported at its turn.
    try {
        return step(job, current);
    } catch (const Failure& failure) {
        end(job, failure);
        return false;
    }
}

bool Fetcher::step(Job& job, bool current) {
    switch (job.state) {
        case Job::State::Pausing:
            if (Clock::now() >= job.retryAt) start(job);
            return false;
        case Job::State::Asking:
            if (job.http->headReady()) onHead(job);
            return job.state == Job::State::Receiving && receive(job, current);
        case Job::State::Receiving:
            return receive(job, current);
        default:
            return false;
    }
}

void Fetcher::onHead(Job& job) {
    velloran::HttpTransfer& http = *job.http;
    const std::string error = http.error();
    if (!error.empty()) return attemptFailed(job, http.errorKind(), error, brokenLink(http));
    run_.siteAnswered = true;
    const int status = http.status();
    if (job.offset > 0 && status == 416) return startOver(job);
    if (job.offset > 0 && status == 206) {
        const auto range = parseContentRange(http.header("Content-Range"));
        if (!range || range->first != job.offset || range->last + 1 != range->length) return startOver(job);
        job.total = range->length;
    } else if (carriesWholeFile(status)) {
        job.offset = 0;
        job.total = http.contentLength();
        job.validator = validatorOf(http);
    } else if (transientStatus(status)) {
        // A server that asks for a long pause gets no quick retries, nor
        // one whose pause is not a plain number of seconds (a date, "-5").
        const std::string retryAfter = http.header("Retry-After");
        const auto seconds = velloran::parseByteCount(retryAfter);
        const bool soon = retryAfter.empty() || (seconds && *seconds < static_cast<std::uint64_t>(kLongestRetryAfter.count()));
        return attemptFailed(job, FailureKind::Protocol, "the server answered with status " + std::to_string(status),
                             soon, soon && seconds ? std::chrono::seconds(*seconds) : std::chrono::seconds(0));
    } else {
        return fail(job, FailureKind::Protocol, "the server answered with status " + std::to_string(status));
    }

    const Checks& checks = job.order.checks;
    if (job.total && *job.total > checks.cap)
        return fail(job, FailureKind::Protocol, "it is larger than " + std::to_string(checks.cap) + " bytes");
    // A manifest entry may promise the size and SHA-256 of its file; the
    // bytes are checked before they replace anything.
    if (!checks.promise.size.empty()) {
        if (!job.promisedSize)
            return fail(job, FailureKind::Refused,
                        "the manifest's FileSize \"" + checks.promise.size + "\" is not a byte count");
        if (job.total && *job.total != *job.promisedSize)
            return fail(job, FailureKind::Protocol, "the server announced " + std::to_string(*job.total) +
                                                        " bytes, the manifest " + std::to_string(*job.promisedSize));
    }
    if (!checks.promise.sha256.empty() && !run_.services.makeSha256)
        return fail(job, FailureKind::Refused, "this build cannot check a FileHash");

    job.expected = job.total.value_or(job.expected);

    auto& fs = run_.fs();
    job.target = locateTarget(fs, job.order.folder, job.order.localName);
    if (!job.target.leadsOutside.empty()) return end(job, refusedWay(job, job.target));
    // Folders are made only for an answer that will be stored.
    makeFolders(fs, job.target);
    // Kept bytes are there to be continued or replaced, whatever the answer.
    const bool resumable = !checks.vet && (!job.total || *job.total >= kResumableFrom || job.keptOnDisk);
    if (resumable) {
        // Something at the resume name that cannot be put aside (a folder)
        // costs the file its resuming, not its update.
        try {
            job.resumable = fs.openResumable(job.target.path, job.order.durability);
        } catch (const Failure& failure) {
            if (failure.kind() == FailureKind::DiskFull) throw;
            if (job.offset > 0) return startOver(job);
        }
    }
    if (job.resumable) {
        if (job.resumable->size() != job.offset) {
            // Not the bytes the range was asked for (changed meanwhile).
            if (job.offset > 0) return startOver(job);
            job.resumable->restart();
        }
    } else {
        if (job.offset > 0) return startOver(job);
        job.file = fs.create(job.target.path, job.order.durability);
    }
    if (!checks.promise.sha256.empty()) job.digest = run_.services.makeSha256();
    if (job.offset > 0) {
        if (job.digest) {
            auto lastPump = Clock::now();
            job.resumable->readKept([&](const char* data, std::size_t size) {
                job.digest->update(data, size);
                if (Clock::now() - lastPump >= run_.services.pumpInterval) {
                    run_.window().pumpMessages();
                    lastPump = Clock::now();
                }
            });
        }
    } else if (job.resumable) {
        // The note says where the bytes come from; without a validator they
        // cannot be continued, and no note is left to claim they can.
        if (job.validator.empty()) {
            fs.remove(job.notePath);
        } else {
            auto note = fs.create(job.notePath, velloran::Durability::Later);
            const std::string text = std::string(kNoteHeading) + "\n" + job.url + "\n" + job.validator + "\n";
            note->write(text.data(), text.size());
            note->commit();
        }
    }
    job.received = job.offset;
    job.state = Job::State::Receiving;
}

bool Fetcher::receive(Job& job, bool current) {
    velloran::HttpTransfer& http = *job.http;
    const Checks& checks = job.order.checks;
    // Ahead of its turn a file takes no more than the room left ahead: one
    // of known length all of it or nothing, one of unknown length as far as
    // it fits. Then its connection waits, paused, until its turn.
    if (!current) {
        if (!job.total) job.expected = job.received;
        const std::uint64_t room = run_.services.bytesAhead - std::min(run_.services.bytesAhead, bytesAheadBesides(job));
        if (job.total ? *job.total > room : job.received >= room) return false;
    }
    char chunk[64 * 1024];
    std::size_t served = 0;
    while (served < kServeLimit) {
        const std::size_t n = http.read(chunk, sizeof chunk);
        if (n == 0) break;
        served += n;
        std::size_t keep = n;
        if (job.total) {
            keep = static_cast<std::size_t>(std::min<std::uint64_t>(n, *job.total - job.received));
            job.dropped += n - keep;
        } else if (job.received + n > checks.cap) {
            fail(job, FailureKind::Protocol, "it is larger than " + std::to_string(checks.cap) + " bytes");
            return false;
        } else if (job.promisedSize && job.received + n > *job.promisedSize) {
            fail(job, FailureKind::Protocol,
                 "it is larger than the manifest's FileSize of " + std::to_string(*job.promisedSize) + " bytes");
            return false;
        }
        if (keep > 0) {
            job.output().write(chunk, keep);
            if (job.digest) job.digest->update(chunk, keep);
            if (checks.vet) job.kept.append(chunk, keep);
            job.received += keep;
        }
    }
    if (served >= kServeLimit) return true;
    // Past the announced length the transfer may end, so the connection can
    // be reused; a server that keeps sending is left behind after a bound.
    const bool whole = job.total && job.received == *job.total;
    if (whole && job.dropped > kDrainLimit) {
        complete(job);
    } else if (http.finished()) {
        const std::string error = http.error();
        if (!error.empty())
            attemptFailed(job, http.errorKind(), error, brokenLink(http));
        else if (job.total && !whole)
            attemptFailed(job, FailureKind::Network,
                          "the connection closed after " + std::to_string(job.received) + " of " +
                              std::to_string(*job.total) + " bytes",
                          true);
        else
            complete(job);
    }
    return false;
}

void Fetcher::complete(Job& job) {
    // The file stays open, uncommitted, until its turn.
    if (job.owned && job.owned->finished()) idle_.push_back(std::move(job.owned));
    job.owned.reset();
    job.http = nullptr;
    job.state = Job::State::Done;
}

void Fetcher::waitForNews(bool busy) {
    // Wait for the earliest retry at most, and not at all while bytes wait
    // to be read; the window is pumped either way.
    auto timeout = busy ? std::chrono::milliseconds(0) : run_.services.pumpInterval;
    for (const auto& job : jobs_)
        if (job->state == Job::State::Pausing)
            timeout = std::min(timeout, std::max(std::chrono::milliseconds(0),
                                                 std::chrono::duration_cast<std::chrono::milliseconds>(
                                                     job->retryAt - Clock::now())));
    // Any transfer of the family waits for all of them; the file whose turn
    // it is waits on its own, which also returns at once for bytes it holds.
    velloran::HttpTransfer* on = jobs_.empty() ? nullptr : jobs_.front()->http;
    if (!on) on = waiter_ ? waiter_.get() : &run_.http();
    on->poll(timeout);
    run_.window().pumpMessages();
}

void Fetcher::takeNext() {
    Job& job = *jobs_.front();
    auto& window = run_.window();
    std::uint64_t shown = 0;
    auto lastPump = Clock::now();
    // Label4 goes through the same texts whether the bytes came just now or
    // ahead of the file's turn.
    auto showProgress = [&] {
        if (!job.total) return;
        while (shown < std::min(job.received, *job.total)) {
            const std::uint64_t next = std::min(shown + kShownPiece, *job.total);
            if (next > job.received) break;
            shown = next;
            window.setPercentage(velloran::percentageText(shown, *job.total));
            // The clock is read once per 64 texts: a large file has many.
            if (shown % (64 * kShownPiece) == 0 && Clock::now() - lastPump >= run_.services.pumpInterval) {
                window.pumpMessages();
                lastPump = Clock::now();
            }
        }
    };
    for (;;) {
        startMore();
        bool busy = false;
        for (std::size_t i = 0; i < jobs_.size(); ++i) busy = service(*jobs_[i], i == 0) || busy;
        showProgress();
        if (job.state == Job::State::Done || job.state == Job::State::Failed) break;
        waitForNews(busy);
        lastPump = Clock::now();
    }
    if (job.state == Job::State::Failed) {
        Failure failure = *job.failure;
        release(job);
        jobs_.pop_front();
        throw failure;
    }
    install(job);
    jobs_.pop_front();
    startMore();
}

void Fetcher::install(Job& job) {
    auto& window = run_.window();
    const Checks& checks = job.order.checks;
    auto fail = [&](FailureKind kind, const std::string& why) {
        // Bytes that fail a check are no base for a later attempt.
        if (job.resumable) job.resumable->restart();
        release(job);
        throw Failure(kind, "Could not download " + job.url + ": " + why);
    };
    if (!job.total) window.setPercentage("100%");
    if (job.promisedSize && job.received != *job.promisedSize)
        fail(FailureKind::Protocol, "received " + std::to_string(job.received) + " bytes, the manifest's FileSize is " +
                                        std::to_string(*job.promisedSize));
    if (job.digest && job.digest->hexDigest() != velloran::lowerAscii(checks.promise.sha256))
        fail(FailureKind::Protocol, "the received bytes do not match the manifest's FileHash");
    if (checks.vet) {
        try {
            checks.vet(job.kept);
        } catch (...) {
            release(job);
            throw;
        }
    }
    // The way may have changed while the file waited for its turn.
    const Target now = locateTarget(run_.fs(), job.order.folder, job.order.localName);
    if (!now.leadsOutside.empty()) {
        release(job);
        throw refusedWay(job, now);
    }
    job.output().commit();
    if (job.resumable) run_.fs().remove(job.notePath);
    release(job);
    run_.manifests.forget(job.target.path);

    window.pumpMessages();
    window.setDetailStatus("Downloaded " + job.order.remoteName + "!");
}

}  // namespace modUpdate
