// The child failure report arrives over a pipe in chunks of any size, and a
// child that writes garbage into its control pipe must not upset the parent.
// Beyond not crashing: the result does not depend on how the bytes were
// split, and raise() throws only the exception kinds it documents.

#include <cstddef>
#include <cstdint>
#include <exception>
#include <iostream>
#include <stdexcept>
#include <streambuf>
#include <string>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include "common/SystemError.h"
#include "fuzz/FuzzCheck.h"
#include "process/ChildReportParser.h"

using kelmo::process::ChildReportParser;

namespace {

// Untagged pieces are echoed on std::clog; millions of them would only slow
// the run down.
class DiscardBuffer : public std::streambuf {
protected:
    int overflow(int c) override { return traits_type::not_eof(c); }
    std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

DiscardBuffer discard;

void checkSameResult(const ChildReportParser& a, const ChildReportParser& b) {
    FUZZ_CHECK(a.pieces() == b.pieces());
    FUZZ_CHECK(a.kind() == b.kind());
    FUZZ_CHECK(a.message() == b.message());
    FUZZ_CHECK(a.code() == b.code());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    std::clog.rdbuf(&discard);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider provider(data, size);
    // The first bytes choose the chunk sizes; the rest is the report.
    std::vector<std::size_t> chunks;
    for (std::size_t n = provider.ConsumeIntegralInRange<std::size_t>(0, 8); n > 0; --n) {
        chunks.push_back(provider.ConsumeIntegralInRange<std::size_t>(0, 64));
    }
    const std::string report = provider.ConsumeRemainingBytesAsString();

    ChildReportParser whole;
    whole.feed(report.data(), report.size());
    whole.finish();

    ChildReportParser split;
    std::size_t at = 0;
    for (std::size_t chunk : chunks) {
        const std::size_t n = std::min(chunk, report.size() - at);
        split.feed(report.data() + at, n);
        at += n;
    }
    split.feed(report.data() + at, report.size() - at);
    split.finish();
    checkSameResult(whole, split);

    // Every NUL ends a piece; an unterminated tail is one more.
    std::size_t terminated = 0;
    for (char c : report) {
        terminated += c == '\0' ? 1 : 0;
    }
    const bool tail = !report.empty() && report.back() != '\0';
    FUZZ_CHECK(whole.pieces().size() == terminated + (tail ? 1 : 0));

    try {
        whole.raise();
        FUZZ_CHECK(whole.kind().empty());
    } catch (const kelmo::SystemError& e) {
        FUZZ_CHECK(whole.kind() == "SystemError");
    } catch (const std::runtime_error&) {
        FUZZ_CHECK(whole.kind() == "std::runtime_error");
    } catch (const std::bad_exception&) {
        FUZZ_CHECK(!whole.kind().empty());
    } catch (const std::exception&) {
        FUZZ_CHECK(whole.kind() == "std::exception");
    }
    return 0;
}
