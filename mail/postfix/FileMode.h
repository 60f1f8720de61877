#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

namespace kelmo::mail::postfix {

// A configuration file's mode and owner. postconf -e and -P replace the file
// with a new one of mode 0644 owned by whoever ran them, so a main.cf an
// administrator made 0640 root:postfix would turn world-readable: the tool
// notes both before a write and puts them back right after it.
struct FileMode {
    std::string path;
    mode_t mode;  // permission and set-id bits
    uid_t owner;
    gid_t group;

    // What path (followed where it is a symbolic link) has now; nullopt when
    // it cannot be looked at or is not a regular file, as postconf would then
    // refuse it or give it its own mode anyway.
    static std::optional<FileMode> of(const std::string& path);

    // Sets owner and group, then mode (a change of owner may clear set-id
    // bits), on the regular file now at path, opened without following a
    // symbolic link. Returns "" or why it could not: "not a regular file", or
    // the failed call and the system's error text.
    std::string putBack() const;
};

}  // namespace kelmo::mail::postfix
