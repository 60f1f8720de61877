#pragma once

namespace tarnwick {

// Keeps standard output for one document written at the end of the run:
// while reserved, descriptor 1 points at /dev/null, so that the copies the
// error stream and the lock routine's messages make there are dropped
// (standard error still has them). Where /dev/null cannot be put in place,
// standard output stays as it is.
class ReservedStdout {
public:
    // Reserves only when reserve is set.
    explicit ReservedStdout(bool reserve);
    ~ReservedStdout() { release(); }

    // Points descriptor 1 back at what it was; then the document can be
    // written. Later calls do nothing.
    void release() noexcept;

    ReservedStdout(const ReservedStdout&) = delete;
    ReservedStdout& operator=(const ReservedStdout&) = delete;

private:
    int saved_ = -1;
};

}  // namespace tarnwick
