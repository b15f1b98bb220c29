// Fetching the files of an update: each file's request may go out ahead of
// its turn, side by side with the others, into its own file beside its
// target; a file is checked and installed only when its turn comes, and a
// failure is reported only then, as it would have been without requests
// ahead. A transient failure is tried again after a pause, continuing from
// the bytes already received where the server allows it.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "failure.h"
#include "fs.h"
#include "mod_update.h"
#include "target.h"
#include "transfer.h"

namespace modUpdate {

// One file to fetch: baseUrl + remoteName into `localName` in `folder`
// (normalised and already accepted by refusedTarget).
struct FetchOrder {
    std::string remoteName;
    std::string folder;
    std::string localName;
    Checks checks;
    velloran::Durability durability = velloran::Durability::Later;
};

class Fetcher {
public:
    // With `ahead`, up to Services::filesAhead orders after the next one run
    // ahead of their turn (when the HTTP service can run transfers side by
    // side); without it each order starts when it is taken.
    Fetcher(Context& run, bool ahead);
    // Abandons what is under way. Bytes received into resumable files stay
    // there for a later attempt; nothing is installed.
    ~Fetcher();
    Fetcher(const Fetcher&) = delete;
    Fetcher& operator=(const Fetcher&) = delete;

    // Queues an order; orders are taken in the order they were added. It may
    // start at once.
    void add(FetchOrder order);

    // Brings the next order to its end, showing its percentages in Label4,
    // checks it and installs it, then shows "Downloaded <name>!" in L3.
    // Throws the Failure it ended in (after its retries); its target then
    // keeps its old content.
    void takeNext();

    // Where the queued orders keep (or would keep) bytes for resuming: the
    // resumable files and their notes, by full path.
    std::vector<std::string> resumePaths() const;

private:
    struct Job;

    void startMore();
    void start(Job& job);
    // start(), a failure of which ends the job.
    void launch(Job& job);
    // Moves `job` on; true when its transfer still holds bytes to read.
    bool service(Job& job, bool current);
    bool step(Job& job, bool current);
    void onHead(Job& job);
    bool receive(Job& job, bool current);
    bool brokenLink(const velloran::HttpTransfer& http) const;
    void complete(Job& job);
    void attemptFailed(Job& job, velloran::FailureKind kind, const std::string& why, bool transient,
                       std::chrono::milliseconds retryAfter = {});
    void fail(Job& job, velloran::FailureKind kind, const std::string& why);
    void end(Job& job, velloran::Failure failure);
    static velloran::Failure refusedWay(const Job& job, const Target& target);
    void startOver(Job& job);
    void release(Job& job);
    void install(Job& job);
    void waitForNews(bool busy);
    velloran::HttpTransfer* acquire(Job& job);
    std::uint64_t bytesAheadBesides(const Job& job) const;

    Context& run_;
    bool ahead_;
    std::deque<std::unique_ptr<Job>> jobs_;
    // Transfers of the family not in use, for the next request.
    std::vector<std::unique_ptr<velloran::HttpTransfer>> idle_;
    // A transfer of the family that never carries a request: the one to
    // wait on, whichever transfers are in use. Null without requests ahead.
    std::unique_ptr<velloran::HttpTransfer> waiter_;
};

}  // namespace modUpdate
