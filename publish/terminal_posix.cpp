#include <unistd.h>

#include "progress.h"

namespace velloran::publish {

bool isTerminal(std::FILE* stream) { return ::isatty(::fileno(stream)) == 1; }

}  // namespace velloran::publish
