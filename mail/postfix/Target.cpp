#include "mail/postfix/Target.h"

#include <iterator>
#include <sstream>

namespace kelmo::mail::postfix {

namespace {

// postconf -F's names of the fields, in master.cf's order.
const char* const kFields[] = {"service", "type",   "private",       "unprivileged",
                               "chroot",  "wakeup", "process_limit", "command"};

}  // namespace

std::optional<ServiceKey> serviceKey(const std::string& key) {
    const std::string::size_type first = key.find('/');
    const std::string::size_type second =
        first == std::string::npos ? first : key.find('/', first + 1);
    if (second == std::string::npos || key.find('/', second + 1) != std::string::npos ||
        first == 0 || second == first + 1 || second + 1 == key.size()) {
        return std::nullopt;
    }
    return ServiceKey{key.substr(0, first), key.substr(first + 1, second - first - 1),
                      key.substr(second + 1)};
}

std::optional<ServiceKey> serviceEntryKey(const std::string& key) {
    const std::string::size_type slash = key.find('/');
    if (slash == std::string::npos || slash == 0 || slash + 1 == key.size() ||
        key.find('/', slash + 1) != std::string::npos) {
        return std::nullopt;
    }
    return ServiceKey{key.substr(0, slash), key.substr(slash + 1), ""};
}

int serviceFieldIndex(const std::string& name) {
    for (std::size_t i = 0; i < std::size(kFields); ++i) {
        if (name == kFields[i]) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

const char* serviceFieldName(int index) {
    return kFields[index];
}

std::vector<std::string> entryWords(const std::string& entry) {
    std::vector<std::string> words;
    std::istringstream in(entry);
    for (std::string word; in >> word;) {
        words.push_back(word);
    }
    return words;
}

Target Target::of(const std::string& key) {
    if (const std::optional<ServiceKey> service = serviceKey(key)) {
        return {serviceFieldIndex(service->name) < 0 ? ServiceSetting : ServiceField, *service};
    }
    if (const std::optional<ServiceKey> entry = serviceEntryKey(key)) {
        return {ServiceEntry, *entry};
    }
    return {};
}

}  // namespace kelmo::mail::postfix
