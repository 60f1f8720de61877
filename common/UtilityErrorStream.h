#pragma once

#include <ostream>
#include <streambuf>
#include <string>

namespace kelmo {

// Stream buffer for error reports: every character goes to std::cerr at
// once and is kept; each flush copies the kept text to std::cout in one
// piece. It has no put area, so every character reaches overflow().
// Not thread-safe: meant for the main thread.
class UtilityErrorStreamBuf : public std::streambuf {
public:
    UtilityErrorStreamBuf() = default;
    // Flushes like sync(), so text still pending reaches std::cout.
    ~UtilityErrorStreamBuf() override;

    UtilityErrorStreamBuf(const UtilityErrorStreamBuf&) = delete;
    UtilityErrorStreamBuf& operator=(const UtilityErrorStreamBuf&) = delete;

protected:
    int sync() override;
    int_type overflow(int_type c) override;

private:
    void flushPending();

    std::string pending_;
};

// An std::ostream over its own UtilityErrorStreamBuf.
class UtilityErrorStream : public std::ostream {
public:
    UtilityErrorStream();
    ~UtilityErrorStream() override;

    UtilityErrorStream(const UtilityErrorStream&) = delete;
    UtilityErrorStream& operator=(const UtilityErrorStream&) = delete;

private:
    UtilityErrorStreamBuf buffer_;
};

// The process-wide error stream; constructed during static initialisation
// after the standard streams, flushed and destroyed at normal exit.
extern UtilityErrorStream errorStream;

}  // namespace kelmo
