#pragma once

#include <string>
#include <vector>

#include "mail/postfix/EditPlan.h"
#include "mail/postfix/FileLock.h"

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

    // A main.cf parameter's value (the built-in default with useDefault), trimmed.
    // "mynetworks" has Postfix's default replaced by the local networks.
    // Throws PostfixConfigurationError for a key checkParameterName refuses,
    // when postconf fails, or exits 0 with no output and an error
    // diagnostic; exceptions of the pipe pass through.
    static std::string getParameter(const std::string& key, bool useDefault = false);

    // Writes key=value through postconf -e under the main.cf lock, as
    // applyEdits writes a replacement. Throws what applyEdits throws.
    void setParameter(const std::string& key, const std::string& value);

    // Read-modify-write list edits, each one edit through applyEdits: the
    // main.cf lock held from before the read until the write has returned, so
    // that concurrent edits of one parameter never lose each other. Throw what
    // applyEdits throws.
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
        // Refuse the whole run, before anything is written, when a plan
        // carries a warning.
        bool strict = false;
        // Read as a batch: each kind of read one postconf run for every
        // parameter (postconf::Reads::Batched), so that the runs do not grow
        // with the edits; otherwise one postconf -h run per read.
        bool batch = false;
        // Learn whether each parameter's file set it before the run
        // (ParameterPlan::beforeSet): the as-set reads of unsets, service
        // settings and guarded edits tell; any other main.cf parameter is
        // read once more with postconf -n (for a batch, in the one -n run).
        bool reportSet = false;
        // Where set, each write run's plans are appended to it as soon as
        // that run has succeeded, in the order written: when applyEdits
        // throws, it holds what landed before the failure. applyEdits calls
        // back nothing: a caller logs the writes once it has returned or
        // thrown, the lock released, so that a slow log holds up only its
        // own run.
        std::vector<ParameterPlan>* written = nullptr;
    };

    // The edits in order as one transaction: check (checkEdits), lock, read
    // (readState), check (checkExpected), plan (planEdits), check
    // (checkPlans and checkReadable; these checks in a dry run too, so that it
    // foresees every refusal of the real run), write (writePlans, unless
    // dryRun). The main.cf lock is held from before the first read until the
    // writes have returned; nothing is written when anything fails before.
    // Returns one plan per parameter in order of first mention.
    // Throws PostfixConfigurationError for each refusal, what the reads throw,
    // for a failed write (naming what an earlier write of the run wrote), for
    // a mode and owner that could not be put back after a write (see
    // writePlans), for a guarded edit whose parameter is not as expected,
    // and under strict the first warning's text.
    std::vector<ParameterPlan> applyEdits(const std::vector<ValueEdit>& edits,
                                          const EditOptions& options);

    // Throws PostfixConfigurationError "invalid parameter name: \"<key>\""
    // (a NUL shown as \0) for a key that postconf would take as an option
    // (leading '-') or a comment (leading '#'), split at '=' or trim (blanks,
    // tabs, other control characters): it would read or write some other
    // parameter than the one named, or none. A key holding '/' passes only as
    // SERVICE/TYPE/NAME (postconf's name of a master.cf service setting) with
    // three non-empty parts and NAME passing. An empty key is refused too.
    static void checkParameterName(const std::string& key);

    // What can be refused before any postconf run: each key by
    // checkParameterName, a value holding a line break ("value of \"<key>\"
    // holds a line break"), a service setting's value holding whitespace
    // inside, and arguments that would not fit one postconf -e run even were
    // every parameter empty. Throws PostfixConfigurationError.
    static void checkEdits(const std::vector<ValueEdit>& edits);

    // The main.cf lock that every edit holds, waiting at most lockWait
    // seconds (for ever while negative, the default); see FileLock.
    FileLock lockMainCf() const;
    void setLockWait(int seconds) { lockWait_ = seconds; }

    // False when a line of postconf's standard error reads
    // "<program>: <blanks>panic:|fatal:|error:<rest>", true otherwise.
    static bool isCleanDiagnostics(const std::string& text);

    PostfixConfiguration(const PostfixConfiguration&) = delete;
    PostfixConfiguration& operator=(const PostfixConfiguration&) = delete;

    // config_directory, canonical where it resolves, followed by "/main.cf";
    // the lock's name.
    const std::string mainCfPath;
    // The canonical configuration directory, and the master.cf in it where
    // service settings live.
    std::string configDirectory() const { return mainCfPath.substr(0, mainCfPath.rfind('/')); }
    std::string masterCfPath() const { return configDirectory() + "/master.cf"; }

private:
    PostfixConfiguration();

    int lockWait_ = -1;

    // postconf -h -d mynetworks, trimmed; no diagnostics check, unlike the
    // other reads.
    static std::string defaultMyNetworks();

    // Reads under the lock what state asks for, as a batch or with one
    // postconf -h run per read (EditOptions::batch): each parameter's value
    // (postconf -h; -n -h or -P -h where it is read as set) with a service
    // setting's NAME (-h), then where needed a main.cf parameter's default
    // (-h -d), then mynetworks' default, as getParameter reads them. With
    // reportSet, a main.cf parameter read as Postfix uses it is read as set
    // too (postconf -n -h).
    static void readState(RunState& state, bool batch, bool reportSet);

    // Throws PostfixConfigurationError "changed since the report, nothing
    // undone: KEY ("EXPECTED" is now "CURRENT"), ..." naming every guarded
    // edit's parameter that is not as expected, in order; a value not set
    // shows as (not set), unquoted. Values compare in printedForm.
    static void checkExpected(const std::vector<ValueEdit>& edits, const RunState& state);

    // Where a value read is a default that depends on compatibility_level
    // (postconf prints relay_domains and smtpd_relay_restrictions so when
    // they are not set), notes the branch in force, reading the level with
    // postconf -x -h compatibility_level once, only then.
    static void chooseCompatibilityBranches(RunState& state);

    using Settings = std::vector<std::pair<std::string, std::string>>;

    // Throws PostfixConfigurationError when an argument key=value passes the
    // system's limit for one argument ("value of \"<key>\" is N bytes; one
    // postconf argument holds at most 131071"), or all of them with the
    // environment the limit for one exec ("the batch is too large ...").
    static void checkWriteArguments(const Settings& settings);

    // Throws PostfixConfigurationError when one postconf run with arguments
    // would not fit an exec: "the batch is too large ...".
    static void checkRunFits(const std::vector<std::string>& arguments);

    // Throws PostfixConfigurationError when main.cf does not end with a
    // newline and postconf -n says it sets not every key of settings.
    void checkMainCfEnding(const Settings& settings) const;

    // Under the lock, what a dry run must foresee too: a plan's refusal, a
    // service setting's element holding a blank, a Warning that --strict
    // refuses (strict only),
    // the arguments' size, main.cf's and master.cf's final newline where a
    // write would add a line, and each written service's presence in
    // master.cf. Throws PostfixConfigurationError.
    void checkPlans(const std::vector<ParameterPlan>& plans, bool strict) const;

    // Whether postconf can read the configuration with the plans' new values,
    // asked in one run before anything is written: postconf -x -o KEY=NEW...
    // -h KEY... for every main.cf parameter set, and as set to nothing for one
    // unset whose default read found it unknown to Postfix. A service
    // setting's value goes in through a reference name of the tool's own,
    // which the run refers to. No run when there is nothing to check. When
    // postconf fails, the same run without the new values tells whether the
    // configuration was unreadable already (that read's failure is thrown);
    // otherwise throws PostfixConfigurationError "postconf cannot
    // read the configuration with the new value of KEY: <postconf's fatal
    // line>; nothing written", KEY the parameter the fatal line names where
    // the run sets it, else every one the run sets ("values of A, B").
    static void checkReadable(const std::vector<ParameterPlan>& plans, const RunState& state);

    // The plans' writes in order (postconf -e, -X, -P, -P -X), each run
    // only when it has something to write. The mode and owner main.cf and
    // master.cf had before are put back on the file right after each run
    // that wrote it (FileMode::putBack). A failure after an earlier run
    // succeeded names the keys written; a mode that cannot be put back fails
    // the edit there, before any later run, naming the keys written too.
    // Each successful run's plans are appended to written, when set. Callers
    // hold the lock.
    void writePlans(const std::vector<ParameterPlan>& plans,
                    std::vector<ParameterPlan>* written) const;
};

}  // namespace kelmo::mail::postfix
