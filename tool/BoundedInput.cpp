#include "tool/BoundedInput.h"

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <iostream>

#include "common/SystemError.h"

namespace tarnwick {

std::optional<std::string> readBounded(const std::string& file, std::size_t maxBytes,
                                       std::size_t maxLines) {
    std::ifstream opened;
    if (file != "-") {
        opened.open(file, std::ios::binary);
        if (!opened) {
            kelmo::throwSystemError("open " + file, errno);
        }
    }
    std::istream& in = file == "-" ? std::cin : opened;
    std::string text;
    std::size_t lines = 0;
    char chunk[65536];
    while (in.read(chunk, sizeof chunk) || in.gcount() > 0) {
        const std::string::size_type from = text.size();
        text.append(chunk, static_cast<std::size_t>(in.gcount()));
        lines += static_cast<std::size_t>(std::count(text.begin() + from, text.end(), '\n'));
        if (text.size() > maxBytes || lines > maxLines ||
            (lines == maxLines && text.back() != '\n')) {
            return std::nullopt;
        }
    }
    if (in.bad()) {
        kelmo::throwSystemError("read " + file, errno);
    }
    return text;
}

}  // namespace tarnwick
