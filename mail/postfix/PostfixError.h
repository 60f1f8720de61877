#pragma once

#include <stdexcept>
#include <string>

namespace kelmo::mail::postfix {

// Base of every failure that Postfix itself reported.
class PostfixError : public std::runtime_error {
public:
    explicit PostfixError(const std::string& message);
    ~PostfixError() override;
};

// postconf could not read or write a parameter; the message is what
// postconf said on standard error, verbatim.
class PostfixConfigurationError : public PostfixError {
public:
    explicit PostfixConfigurationError(const std::string& message);
    ~PostfixConfigurationError() override;
};

// postfix status or postfix reload failed or ran out of time after a write;
// the message is what postfix printed, verbatim, or what went wrong.
class PostfixReloadError : public PostfixError {
public:
    explicit PostfixReloadError(const std::string& message);
    ~PostfixReloadError() override;
};

}  // namespace kelmo::mail::postfix
