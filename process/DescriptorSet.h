#pragma once

#include <sys/select.h>

#include <climits>
#include <cstddef>

namespace kelmo::process {

// A select() descriptor set with room for descriptors 0 to 16383, laid out
// as the kernel reads an fd_set (bit fd % W of word fd / W, W the bits of an
// unsigned long). glibc's fd_set stops at FD_SETSIZE (1024), and FD_SET
// beyond it writes past the set; this one checks every descriptor instead.
class DescriptorSet {
public:
    static constexpr int capacity = 16384;

    DescriptorSet() noexcept { clear(); }

    void clear() noexcept;
    // Throws SystemError with EMFILE when fd is not below capacity (such a
    // descriptor cannot be watched by select here), EBADF when negative.
    void add(int fd);
    // Descriptors outside the set's range are never members.
    void remove(int fd) noexcept;
    bool contains(int fd) const noexcept;

    // Throws as add() would for fd, without changing anything.
    static void checkFits(int fd);

    // For select(capacity, ...); the kernel reads capacity bits from here.
    fd_set* native() noexcept { return reinterpret_cast<fd_set*>(words_); }

private:
    static constexpr std::size_t wordBits = sizeof(unsigned long) * CHAR_BIT;
    static constexpr std::size_t wordCount = capacity / wordBits;

    unsigned long words_[wordCount];
};

}  // namespace kelmo::process
