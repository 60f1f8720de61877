#include "mail/postfix/PostfixError.h"

namespace kelmo::mail::postfix {

PostfixError::PostfixError(const std::string& message) : std::runtime_error(message) {}
PostfixError::~PostfixError() = default;

PostfixConfigurationError::PostfixConfigurationError(const std::string& message)
    : PostfixError(message) {}
PostfixConfigurationError::~PostfixConfigurationError() = default;

PostfixReloadError::PostfixReloadError(const std::string& message) : PostfixError(message) {}
PostfixReloadError::~PostfixReloadError() = default;

}  // namespace kelmo::mail::postfix
