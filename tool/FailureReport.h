#pragma once

#include <exception>
#include <string>

namespace tarnwick {

// The name of the error's dynamic type, demangled where the ABI demangler
// can, raw otherwise.
std::string typeName(const std::exception& error);

// "Fatal error: <dynamic type>(<what>)" on kelmo::errorStream, then the
// stack when the exception also carries one.
void reportFailure(const std::exception& error);

}  // namespace tarnwick
