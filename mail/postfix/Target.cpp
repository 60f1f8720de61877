#include "mail/postfix/Target.h"

namespace kelmo::mail::postfix {

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

Target Target::of(const std::string& key) {
    if (const std::optional<ServiceKey> service = serviceKey(key)) {
        return {ServiceSetting, *service};
    }
    return {};
}

}  // namespace kelmo::mail::postfix
