// The one error type of the engine and the platform services.
//
// Nothing in the update run catches a Failure except startUpdate, which hands
// what() to the failure report (the window shows it and ends the process).
// Files already written stay as they are; that is what makes unwinding safe.
#pragma once

#include <stdexcept>
#include <string>

namespace velloran {

struct Failure : std::runtime_error {
    explicit Failure(const std::string& text) : std::runtime_error(text) {}
};

}  // namespace velloran
