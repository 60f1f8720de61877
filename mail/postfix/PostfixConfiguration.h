#pragma once

#include <string>
#include <vector>

#include "mail/postfix/ValueLists.h"

namespace kelmo::mail::postfix {

// The one object through which Postfix parameters are read and written. Every
// read and write is a run of /usr/sbin/postconf (never with -c, so postconf
// honours MAIL_CONFIG); mainCfPath names the lock that serialises edits.
class PostfixConfiguration {
public:
    // The single instance, built on first use by asking postconf for
    // config_directory (its default when reading the current value fails
    // with PostfixConfigurationError). Throws what that lookup throws; a
    // later call tries again.
    static PostfixConfiguration& instance();

    // The parameter's value (the built-in default with useDefault), trimmed.
    // "mynetworks" has Postfix's default replaced by the local networks.
    // Throws PostfixConfigurationError when postconf fails, or exits 0 with
    // no output and an error diagnostic; exceptions of the pipe pass through.
    static std::string getParameter(const std::string& key, bool useDefault = false);

    // Writes key=value through postconf -e under the main.cf lock. Throws
    // PostfixConfigurationError on a failed run, the lock's exceptions, and
    // those of the pipe.
    void setParameter(const std::string& key, const std::string& value);

    // Read-modify-write list edits, each holding the main.cf lock from before
    // the read until the write has returned, so that concurrent edits of one
    // parameter never lose each other. Throw what getParameter and
    // setParameter throw.
    void appendValue(const std::string& key, const std::string& value);
    void removeValue(const std::string& key, const std::string& value);
    void appendPairValue(const std::string& key, const std::string& first,
                         const std::string& second);

    // How applyEdits decides and whether it writes.
    struct EditOptions {
        // Read every parameter first (replacements too) and write only those
        // whose final value differs from what postconf -h printed.
        bool compare = false;
        // Decide as a real run would, but run no postconf -e.
        bool dryRun = false;
    };

    // The edits in order as one transaction: the main.cf lock held from
    // before the first read until the write has returned, each parameter read
    // once, every parameter to write written by one postconf -e run (none when
    // nothing changed), nothing written when anything fails before. Returns
    // one plan per parameter in order of first mention. Throws what
    // getParameter and setParameter throw.
    std::vector<ParameterPlan> applyEdits(const std::vector<ValueEdit>& edits,
                                          const EditOptions& options);

    // False when a line of postconf's standard error reads
    // "<program>: <blanks>panic:|fatal:|error:<rest>", true otherwise.
    static bool isCleanDiagnostics(const std::string& text);

    PostfixConfiguration(const PostfixConfiguration&) = delete;
    PostfixConfiguration& operator=(const PostfixConfiguration&) = delete;

    // config_directory followed by "/main.cf"; the lock's name.
    const std::string mainCfPath;

private:
    PostfixConfiguration();

    // postconf -h [-d] key, checked and trimmed; no mynetworks replacement.
    static std::string readValue(const std::string& key, bool useDefault);

    // postconf -h -d mynetworks, trimmed; no diagnostics check, unlike
    // readValue.
    static std::string defaultMyNetworks();

    // One postconf -e key=value key=value ... without taking the lock:
    // callers hold it.
    static void writeParameters(const std::vector<std::pair<std::string, std::string>>& settings);
};

}  // namespace kelmo::mail::postfix
