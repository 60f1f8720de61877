#include "sysutil/message.h"

#include <libgen.h>  // the XPG basename, which may modify its argument

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

char* PROGNAME = nullptr;

namespace {

constexpr size_t kFirstBufferSize = 4096;

// Restores errno when it goes out of scope, so that callers can read the
// error of their own failed call after printing a message about it.
class ErrnoKeeper {
public:
    ErrnoKeeper() : saved_(errno) {}
    ~ErrnoKeeper() { errno = saved_; }
    ErrnoKeeper(const ErrnoKeeper&) = delete;
    ErrnoKeeper& operator=(const ErrnoKeeper&) = delete;

    int saved() const { return saved_; }

private:
    int saved_;
};

void writeTo(FILE* stream, const char* prefix, const char* text) {
    if (prefix != nullptr) {
        std::fputs(prefix, stream);
        std::fputs(": ", stream);
    }
    std::fputs(text, stream);
    const size_t length = std::strlen(text);
    if (length == 0 || text[length - 1] != '\n') {
        std::fputc('\n', stream);
    }
    std::fflush(stream);
}

}  // namespace

extern "C" {

int message_print(const char* text, int exit_status) {
    {
        ErrnoKeeper keep;
        // basename may write into its argument, so it works on a copy and
        // PROGNAME itself stays as the program set it.
        char* copy = PROGNAME != nullptr ? strdup(PROGNAME) : nullptr;
        const char* prefix = nullptr;
        if (copy != nullptr) {
            const char* base = basename(copy);
            if (base != nullptr && *base != '\0') {
                prefix = base;
            }
        }
        writeTo(stderr, prefix, text);
        writeTo(stdout, prefix, text);
        std::free(copy);
    }
    if (exit_status != 0) {
        std::exit(exit_status);
    }
    return 0;
}

int vmessage(int exit_status, const char* format, va_list args) {
    ErrnoKeeper keep;

    size_t capacity = kFirstBufferSize;
    char* buffer = static_cast<char*>(std::malloc(capacity));
    if (buffer == nullptr) {
        return message_print("Can't allocate memory for error message", exit_status);
    }

    va_list first;
    va_copy(first, args);
    int length = std::vsnprintf(buffer, capacity, format, first);
    va_end(first);
    if (length < 0) {
        buffer[0] = '\0';
        length = 0;
    } else if (static_cast<size_t>(length) >= capacity) {
        // Too long for the first buffer: format again, in full, into one
        // that fits. If it cannot grow, the truncated text is kept.
        char* grown = static_cast<char*>(std::realloc(buffer, static_cast<size_t>(length) + 1));
        if (grown != nullptr) {
            buffer = grown;
            capacity = static_cast<size_t>(length) + 1;
            va_list second;
            va_copy(second, args);
            std::vsnprintf(buffer, capacity, format, second);
            va_end(second);
        } else {
            length = static_cast<int>(capacity - 1);
        }
    }

    if (keep.saved() != 0) {
        const char* systemText = std::strerror(keep.saved());
        const int extra = std::snprintf(nullptr, 0, "\nSystem error %d: %s", keep.saved(), systemText);
        const size_t needed = static_cast<size_t>(length) + static_cast<size_t>(extra) + 1;
        if (extra > 0 && needed > capacity) {
            char* grown = static_cast<char*>(std::realloc(buffer, needed));
            if (grown != nullptr) {
                buffer = grown;
                capacity = needed;
            }
        }
        // snprintf cuts the line to what fits when the buffer could not grow.
        std::snprintf(buffer + length, capacity - static_cast<size_t>(length), "\nSystem error %d: %s",
                      keep.saved(), systemText);
    }

    message_print(buffer, exit_status);
    std::free(buffer);
    return 0;
}

int message(int exit_status, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int result = vmessage(exit_status, format, args);
    va_end(args);
    return result;
}

char* vformat_alloc(const char* format, va_list args) {
    char* result = nullptr;
    if (vasprintf(&result, format, args) < 0) {
        message(1, "Cannot allocate memory: %s", std::strerror(errno));
        return nullptr;  // not reached: message ends the process
    }
    return result;
}

char* format_alloc(const char* format, ...) {
    va_list args;
    va_start(args, format);
    char* result = vformat_alloc(format, args);
    va_end(args);
    return result;
}

}  // extern "C"
