// The mynetworks choice combines the value read from main.cf with Postfix's
// default. Beyond not crashing: an empty value or the default itself becomes
// the local networks; a value without the default is returned as it is; a
// value holding the default keeps everything around it, so no network the
// administrator configured is lost.

#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <string>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include "fuzz/FuzzCheck.h"
#include "mail/postfix/MyNetworks.h"
#include "mail/postfix/ValueLists.h"

using kelmo::mail::postfix::chooseMyNetworks;
using kelmo::mail::postfix::listElements;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider provider(data, size);
    const std::string ipv4 = provider.ConsumeRandomLengthString(64);
    const std::string defaultValue = provider.ConsumeRandomLengthString(128);
    // Build values around the default as often as arbitrary ones.
    std::string current;
    switch (provider.ConsumeIntegralInRange(0, 2)) {
        case 0:
            current = provider.ConsumeRemainingBytesAsString();
            break;
        case 1: {
            const std::string before = provider.ConsumeRandomLengthString(64);
            current = before + defaultValue + provider.ConsumeRemainingBytesAsString();
            break;
        }
        default:
            current = defaultValue;
            break;
    }

    const std::string result = chooseMyNetworks(current, defaultValue, ipv4);
    // The default's IPv6 loopback element, alone of its IPv6 networks, joins the local ones.
    const std::vector<std::string> defaults = listElements(defaultValue);
    const std::string local =
        std::find(defaults.begin(), defaults.end(), "[::1]/128") != defaults.end()
            ? ipv4 + ", [::1]/128"
            : ipv4;

    if (current.empty() || current == defaultValue) {
        FUZZ_CHECK(result == local);
        return 0;
    }
    const std::string::size_type at =
        defaultValue.empty() ? std::string::npos : current.find(defaultValue);
    if (at == std::string::npos) {
        FUZZ_CHECK(result == current);
        return 0;
    }
    // The first occurrence of the default, and only it, is replaced.
    const std::string before = current.substr(0, at);
    const std::string after = current.substr(at + defaultValue.size());
    FUZZ_CHECK(result == before + local + after);
    return 0;
}
