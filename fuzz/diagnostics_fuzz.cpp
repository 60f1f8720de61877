// isCleanDiagnostics judges whatever postconf wrote on its standard error.
// Beyond not crashing, the verdict is line by line: joining two texts with
// a newline is clean exactly when both are, and one error line anywhere
// makes the whole text unclean.

#include <cstddef>
#include <cstdint>
#include <string>

#include <fuzzer/FuzzedDataProvider.h>

#include "fuzz/FuzzCheck.h"
#include "mail/postfix/PostfixConfiguration.h"

using kelmo::mail::postfix::PostfixConfiguration;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string whole(reinterpret_cast<const char*>(data), size);
    const bool clean = PostfixConfiguration::isCleanDiagnostics(whole);

    FuzzedDataProvider provider(data, size);
    const std::string first = provider.ConsumeRandomLengthString();
    const std::string second = provider.ConsumeRemainingBytesAsString();
    const bool joinedClean = PostfixConfiguration::isCleanDiagnostics(first + "\n" + second);
    FUZZ_CHECK(joinedClean == (PostfixConfiguration::isCleanDiagnostics(first) &&
                               PostfixConfiguration::isCleanDiagnostics(second)));

    for (const char* line : {"postconf: fatal: open /etc/postfix/main.cf: No such file",
                             "postconf:   error: x:", "p: panic:"}) {
        FUZZ_CHECK(!PostfixConfiguration::isCleanDiagnostics(whole + "\n" + line));
        FUZZ_CHECK(!PostfixConfiguration::isCleanDiagnostics(std::string(line) + "\n" + whole));
    }
    // Warnings never decide.
    FUZZ_CHECK(PostfixConfiguration::isCleanDiagnostics(whole + "\npostconf: warning: x: y\n") ==
               clean);
    return 0;
}
