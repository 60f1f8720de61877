#pragma once

#include <ostream>
#include <string>

namespace tarnwick {

// Writes the usage text to out, flushed: the four lines scripts may know,
// then the manual's synopsis and a pointer to it. Exits with status (through
// finishStandardOutput).
[[noreturn]] void usage(std::ostream& out, int status);

// Writes message and a newline to std::cerr, then usage(std::cerr, 1).
[[noreturn]] void usageError(const std::string& message);

}  // namespace tarnwick
