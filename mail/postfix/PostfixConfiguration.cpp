#include "mail/postfix/PostfixConfiguration.h"

#include <stdlib.h>

#include <cstdlib>
#include <memory>

#include <boost/algorithm/string/trim.hpp>

#include "mail/postfix/MyNetworks.h"
#include "mail/postfix/PostfixError.h"
#include "mail/postfix/Postconf.h"

namespace kelmo::mail::postfix {

namespace {

std::string findMainCf() {
    std::string directory;
    try {
        directory = PostfixConfiguration::getParameter("config_directory", false);
    } catch (const PostfixConfigurationError&) {
        directory = PostfixConfiguration::getParameter("config_directory", true);
    }
    if (directory.empty()) {
        throw PostfixConfigurationError("unable to determine Postfix config_directory parameter");
    }
    // One lock per main.cf however MAIL_CONFIG spells its directory (a
    // trailing slash, a symbolic link): two names would let edits overlap.
    std::unique_ptr<char, decltype(&std::free)> canonical(::realpath(directory.c_str(), nullptr),
                                                          &std::free);
    return (canonical ? std::string(canonical.get()) : directory) + "/main.cf";
}

}  // namespace

PostfixConfiguration::PostfixConfiguration() : mainCfPath(findMainCf()) {}

PostfixConfiguration& PostfixConfiguration::instance() {
    static PostfixConfiguration configuration;
    return configuration;
}

FileLock PostfixConfiguration::lockMainCf() const {
    return FileLock(mainCfPath, FileLock::Hashed, FileLock::Blocking, lockWait_);
}

std::string PostfixConfiguration::getParameter(const std::string& key, bool useDefault) {
    checkParameterName(key);
    const std::string value =
        useDefault ? postconf::readParameter({"-h", "-d"}, key, postconf::KeepHidden).value
                   : postconf::readParameter({"-h"}, key, postconf::FindHidden).value;
    if (key == "mynetworks") {
        return chooseMyNetworks(value, defaultMyNetworks(), localNetworks());
    }
    return value;
}

void PostfixConfiguration::setParameter(const std::string& key, const std::string& value) {
    applyEdits({{ValueEdit::Replace, key, value}}, EditOptions());
}

std::string PostfixConfiguration::defaultMyNetworks() {
    return boost::algorithm::trim_copy(postconf::read({"-h", "-d", "mynetworks"}, false));
}

bool PostfixConfiguration::isCleanDiagnostics(const std::string& text) {
    std::string::size_type begin = 0;
    while (begin < text.size()) {
        std::string::size_type end = text.find('\n', begin);
        if (end == std::string::npos) {
            end = text.size();
        }
        const std::string line = text.substr(begin, end - begin);
        begin = end + 1;

        const std::string::size_type colon = line.find(':');
        if (colon == std::string::npos || colon + 1 == line.size()) {
            continue;
        }
        const std::string::size_type severity = line.find_first_not_of(' ', colon + 1);
        if (severity == std::string::npos || severity + 1 == line.size()) {
            continue;
        }
        if (line.find(':', severity + 1) == std::string::npos) {
            continue;
        }
        const std::string word = line.substr(severity, 6);
        if (word == "panic:" || word == "fatal:" || word == "error:") {
            return false;
        }
    }
    return true;
}

}  // namespace kelmo::mail::postfix
