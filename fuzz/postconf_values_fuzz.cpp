// A batch takes its values from the lines postconf prints without -h, matched
// to names by their "NAME = " prefix. Beyond not crashing on any output: a
// line "NAME = VALUE" (or "NAME =") added before or after any output adds
// exactly what postconf -h NAME prints for it, VALUE and a newline, to NAME's
// text and leaves every other name's alone, whatever the rest holds.

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

#include <fuzzer/FuzzedDataProvider.h>

#include "fuzz/FuzzCheck.h"
#include "mail/postfix/Postconf.h"

using kelmo::mail::postfix::postconf::valuesByName;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider provider(data, size);
    const std::string name = provider.ConsumeRandomLengthString();
    const std::string value = provider.ConsumeRandomLengthString();
    const std::string rest = provider.ConsumeRemainingBytesAsString();
    std::map<std::string, std::string> expected = valuesByName(rest);
    // A name is never empty and holds no blank; postconf prints no value
    // with a line break.
    if (name.empty() || name.find_first_of(" \n") != std::string::npos ||
        value.find('\n') != std::string::npos) {
        return 0;
    }
    const std::string line = value.empty() ? name + " =" : name + " = " + value;
    expected[name] = value + "\n" + expected[name];
    FUZZ_CHECK(valuesByName(line + "\n" + rest) == expected);
    expected[name] = expected[name].substr(value.size() + 1) + value + "\n";
    FUZZ_CHECK(valuesByName(rest + "\n" + line) == expected);
    return 0;
}
