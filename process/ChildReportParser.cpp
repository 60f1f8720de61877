#include "process/ChildReportParser.h"

#include <boost/lexical_cast.hpp>
#include <cerrno>
#include <cstring>
#include <exception>
#include <iostream>
#include <stdexcept>

#include "common/SystemError.h"

namespace kelmo::process {

namespace {

constexpr std::size_t TAG_SIZE = 4;

bool hasTag(const std::string& piece, const char* tag) {
    return piece.size() >= TAG_SIZE && piece.compare(0, TAG_SIZE, tag) == 0;
}

}  // namespace

void ChildReportParser::feed(const char* data, std::size_t size) {
    const char* const end = data + size;
    while (data != end) {
        const void* found = std::memchr(data, '\0', static_cast<std::size_t>(end - data));
        if (found == nullptr) {
            pending_.append(data, end);
            return;
        }
        const char* nul = static_cast<const char*>(found);
        pending_.append(data, nul);
        pieces_.push_back(std::move(pending_));
        pending_.clear();
        data = nul + 1;
    }
}

void ChildReportParser::finish() {
    if (!pending_.empty()) {
        pieces_.push_back(std::move(pending_));
        pending_.clear();
    }
    // A later piece with the same tag wins.
    for (const std::string& piece : pieces_) {
        if (hasTag(piece, "ET: ")) {
            kind_ = piece.substr(TAG_SIZE);
        } else if (hasTag(piece, "EM: ")) {
            message_ = piece.substr(TAG_SIZE);
        } else if (hasTag(piece, "EC: ")) {
            try {
                code_ = boost::lexical_cast<int>(piece.substr(TAG_SIZE));
            } catch (const boost::bad_lexical_cast&) {
                code_ = EINVAL;
            }
        } else {
            std::clog << "child output: " << piece << std::endl;
        }
    }
}

void ChildReportParser::raise() const {
    if (kind_.empty()) {
        return;  // no report: the exec succeeded or the child said nothing
    }
    const std::string message = message_.empty() ? "an error in child process" : message_;
    if (kind_ == "SystemError") {
        throw SystemError(message, code_);
    }
    if (kind_ == "std::runtime_error") {
        throw std::runtime_error(message);
    }
    if (kind_ == "std::exception") {
        throw std::exception();
    }
    throw std::bad_exception();
}

}  // namespace kelmo::process
