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

}  // namespace kelmo::mail::postfix
