#include "mail/postfix/PostfixConfiguration.h"
#include "mail/postfix/ValueLists.h"

// The list edits read, decide and write under one main.cf lock: with the lock
// around the write alone, two runs appending different values to the same
// parameter would both read the old list and the later write would drop the
// earlier one's value. The lock is taken once; a second FileLock on the same
// name in this process would wait for itself, hence writeParameter. A refused
// key is refused before the lock, as before any postconf run.

namespace kelmo::mail::postfix {

void PostfixConfiguration::appendValue(const std::string& key, const std::string& value) {
    checkParameterName(key);
    const FileLock lock = lockMainCf();
    const ListEdit edit = planAppend(key, getParameter(key, false), value);
    if (edit.write) {
        writeParameter(key, edit.text);
    }
}

void PostfixConfiguration::removeValue(const std::string& key, const std::string& value) {
    checkParameterName(key);
    const FileLock lock = lockMainCf();
    const ListEdit edit = planRemove(getParameter(key, false), value);
    if (edit.write) {
        writeParameter(key, edit.text);
    }
}

void PostfixConfiguration::appendPairValue(const std::string& key, const std::string& first,
                                           const std::string& second) {
    checkParameterName(key);
    const FileLock lock = lockMainCf();
    const ListEdit edit = planAppendPair(getParameter(key, false), first, second);
    if (edit.write) {
        writeParameter(key, edit.text);
    }
}

}  // namespace kelmo::mail::postfix
