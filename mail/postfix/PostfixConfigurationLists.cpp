#include "mail/postfix/FileLock.h"
#include "mail/postfix/PostfixConfiguration.h"
#include "mail/postfix/ValueLists.h"

// The list edits read, decide and write under one main.cf lock: with the lock
// around the write alone, two runs appending different values to the same
// parameter would both read the old list and the later write would drop the
// earlier one's value. The lock is taken once; a second FileLock on the same
// name in this process would wait for itself, hence writeParameter.

namespace kelmo::mail::postfix {

void PostfixConfiguration::appendValue(const std::string& key, const std::string& value) {
    FileLock lock(mainCfPath, FileLock::Hashed, FileLock::Blocking);
    const ListEdit edit = planAppend(key, getParameter(key, false), value);
    if (edit.write) {
        writeParameter(key, edit.text);
    }
}

void PostfixConfiguration::removeValue(const std::string& key, const std::string& value) {
    FileLock lock(mainCfPath, FileLock::Hashed, FileLock::Blocking);
    const ListEdit edit = planRemove(getParameter(key, false), value);
    if (edit.write) {
        writeParameter(key, edit.text);
    }
}

void PostfixConfiguration::appendPairValue(const std::string& key, const std::string& first,
                                           const std::string& second) {
    FileLock lock(mainCfPath, FileLock::Hashed, FileLock::Blocking);
    const ListEdit edit = planAppendPair(getParameter(key, false), first, second);
    if (edit.write) {
        writeParameter(key, edit.text);
    }
}

}  // namespace kelmo::mail::postfix
