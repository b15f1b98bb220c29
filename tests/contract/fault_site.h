// The fault server (tests/integration/fault_server.py) as the HTTP contract
// suite sees it, whatever started it.
//
// The suite is one source compiled into the test program of each platform;
// each program defines openFaultSite() for its own way of reaching the
// server: the Linux platform tests start it themselves, the Windows tests
// under Wine are handed one that run.sh started.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace velloran::test {

class FaultSite {
public:
    virtual ~FaultSite() = default;

    // Site content by path below the site root: "updates/a.txt" is served
    // as /updates/a.txt.
    virtual void addFile(const std::string& sitePath, const std::string& bytes) = 0;
    // `requestPath` answers with the fault given as a JSON object; takes
    // effect at once.
    virtual void addFault(const std::string& requestPath, const std::string& faultJson) = 0;
    // "http://127.0.0.1:PORT" + path.
    virtual std::string url(const std::string& path) const = 0;
    // The request lines received so far, in order, each "GET /path" as sent
    // ("GET /path bytes=N-" for a request with a range).
    virtual std::vector<std::string> requests() const = 0;
    // A port on 127.0.0.1 where connections are refused.
    virtual int refusedPort() const = 0;
};

// The running fault server with an empty site. Throws std::runtime_error with
// the reason when there is none, so the suite fails instead of skipping.
std::unique_ptr<FaultSite> openFaultSite();

}  // namespace velloran::test
