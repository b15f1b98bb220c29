#include "trace.h"

#include <cstdio>

namespace frmUpdate {

std::string escapeTraceArgument(std::string_view argument) {
    std::string out;
    out.reserve(argument.size());
    for (char c : argument) {
        switch (c) {
        case '\\': out += "\\\\"; break;
        case '\t': out += "\\t"; break;
        case '\r': out += "\\r"; break;
        case '\n': out += "\\n"; break;
        default: out += c;
        }
    }
    return out;
}

#ifdef VELLORAN_TRACE
void trace(std::string_view operation, std::string_view argument) {
    // One fwrite per line, then a flush: a test that kills the process right
    // after an operation still finds the whole line.
    std::string line(operation);
    line += '\t';
    line += escapeTraceArgument(argument);
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}
#endif

}  // namespace frmUpdate
