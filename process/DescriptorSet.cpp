#include "process/DescriptorSet.h"

#include <cerrno>
#include <cstring>

#include "common/SystemError.h"

namespace kelmo::process {

static_assert(sizeof(unsigned long) * CHAR_BIT * (DescriptorSet::capacity /
                                                  (sizeof(unsigned long) * CHAR_BIT)) ==
                  static_cast<std::size_t>(DescriptorSet::capacity),
              "the set must hold exactly capacity bits");

void DescriptorSet::clear() noexcept {
    std::memset(words_, 0, sizeof words_);
}

void DescriptorSet::checkFits(int fd) {
    if (fd < 0) {
        throw SystemError("descriptor out of the select set's range", EBADF);
    }
    if (fd >= capacity) {
        throw SystemError("descriptor out of the select set's range", EMFILE);
    }
}

void DescriptorSet::add(int fd) {
    checkFits(fd);
    words_[static_cast<std::size_t>(fd) / wordBits] |= 1UL << (static_cast<std::size_t>(fd) % wordBits);
}

void DescriptorSet::remove(int fd) noexcept {
    if (fd >= 0 && fd < capacity) {
        words_[static_cast<std::size_t>(fd) / wordBits] &=
            ~(1UL << (static_cast<std::size_t>(fd) % wordBits));
    }
}

bool DescriptorSet::contains(int fd) const noexcept {
    return fd >= 0 && fd < capacity &&
           (words_[static_cast<std::size_t>(fd) / wordBits] >> (static_cast<std::size_t>(fd) % wordBits) & 1UL) != 0;
}

}  // namespace kelmo::process
