#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace tarnwick {

// The whole of file ("-": standard input), or nullopt once it passes
// maxBytes or maxLines lines (a last line without its newline counts), where
// reading stops: /dev/zero or an endless pipe is refused at once. Throws a
// SystemError family member when file cannot be opened or read.
std::optional<std::string> readBounded(const std::string& file, std::size_t maxBytes,
                                       std::size_t maxLines);

}  // namespace tarnwick
