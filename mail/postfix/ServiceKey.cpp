#include "mail/postfix/ServiceKey.h"

#include "mail/postfix/PostfixError.h"

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

void checkServiceText(const std::string& text) {
    // What postconf -P refuses; the ends were trimmed as postconf trims them.
    if (text.find_first_of(" \t\r") != std::string::npos) {
        throw PostfixConfigurationError("a master.cf service setting cannot hold blanks: \"" +
                                        text +
                                        "\"; define it as a main.cf parameter and refer to it "
                                        "as $name");
    }
}

}  // namespace kelmo::mail::postfix
