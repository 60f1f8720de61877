#pragma once

#include <ostream>
#include <string>

namespace tarnwick {

// Writes the four usage lines to out, each flushed, and exits with status
// (through finishStandardOutput).
[[noreturn]] void usage(std::ostream& out, int status);

// Writes message and a newline to std::cerr, then usage(std::cerr, 1).
[[noreturn]] void usageError(const std::string& message);

}  // namespace tarnwick
