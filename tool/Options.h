#pragma once

#include <string>

#include "mail/postfix/EditPlan.h"

namespace tarnwick {

// The command line, read and checked. Exactly one of: a batch file, a report
// to undo, a key and a value, or with -u a key alone.
struct Options {
    using ValueEdit = kelmo::mail::postfix::ValueEdit;
    ValueEdit::Kind action = ValueEdit::Append;  // -r: Replace, -d: Remove, -u: Unset
    bool dryRun = false;   // -n
    bool verbose = false;  // -v, or implied by -n
    std::string file;      // -f; "-" is standard input
    int waitSeconds = -1;  // -w: longest wait for the main.cf lock; for ever while negative
    bool strict = false;   // --strict: refuse the run where a plan warns
    bool json = false;     // --json: one JSON report on standard output instead of -v's lines
    bool reload = false;   // --reload: postfix reload after a write, when Postfix runs
    // --before ANCHOR, --after ANCHOR: where an append puts a value the list lacks
    ValueEdit::Placement placement = ValueEdit::AtEnd;
    std::string anchor;
    std::string undo;      // --undo: the --json report whose changes to undo; "-" is standard input
    std::string configDirectory;  // -c: MAIL_CONFIG for every child; empty: as inherited
    std::string key;
    std::string value;

    bool batch() const { return !file.empty(); }
    bool undoes() const { return !undo.empty(); }
    // Any of -v, -n, -f, --strict, --json, --undo: replacements read first
    // and unchanged values are not written, so that "unchanged" can be
    // reported truthfully and a parameter Postfix does not use is seen before
    // it is written.
    bool compare() const { return verbose || dryRun || batch() || strict || json || undoes(); }
};

// Whether value, compared as an append compares it, is its own anchor.
bool placedAtItself(const std::string& value, const std::string& anchor);

// Reads argv with getopt_long. -h and --version print and exit 0 where they
// stand; an unrecognised option, a misplaced combination or a wrong operand
// count prints the usage text on standard error and exits 1.
Options parseOptions(int argc, char* argv[]);

}  // namespace tarnwick
