// The one error type of the engine, the platform services and the window.
//
// A Failure carries a kind, so that a caller that can live with one kind of
// failure (a file that is not there, a news text the server would not give)
// catches that kind and lets every other one through, and a text for the
// person who reads the failure report: what went wrong and where.
//
// Nothing in the update run catches a Failure except the start routine, which
// hands the text to the failure report (the window shows it and ends the
// process), and the few places that tolerate one kind. Files already written
// stay as they are; that is what makes unwinding safe.
#pragma once

#include <stdexcept>
#include <string>

namespace velloran {

enum class FailureKind {
    NotFound,  // the file, folder or resource asked for does not exist
    Refused,   // input the program will not act on (an unsafe name, a manifest that is none)
    Network,   // no answer: name lookup, connection refused or reset, time-out, TLS
    Protocol,  // an answer the program cannot use: error status, wrong framing, wrong size or hash
    Io,        // a local file or folder could not be read or written
    DiskFull,  // no space left on the device (or the file size limit)
};

class Failure : public std::runtime_error {
public:
    Failure(FailureKind kind, const std::string& text) : std::runtime_error(text), kind_(kind) {}
    FailureKind kind() const { return kind_; }

private:
    FailureKind kind_;
};

}  // namespace velloran
