#include <io.h>

#include "progress.h"

namespace velloran::publish {

// A console; the pipes of MSYS2 terminals read as no terminal, and get the
// summary alone.
bool isTerminal(std::FILE* stream) { return ::_isatty(::_fileno(stream)) != 0; }

}  // namespace velloran::publish
