#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "mail/postfix/EditPlan.h"

// The runs of /usr/sbin/postconf, for the configuration object alone: each is
// one child, standard output and standard error collected in memory. Never
// with -c, so that postconf honours MAIL_CONFIG.

namespace kelmo::mail::postfix::postconf {

// A parameter name of our own that Postfix does not know: -o kReference=$KEY
// makes postconf print a KEY that nothing else refers to.
extern const char kReference[];

// postconf ARGUMENTS...; returns its raw wait status. Exceptions of the pipe
// pass through.
int run(const std::vector<std::string>& arguments, std::string& output, std::string& errors);

// A read: postconf ARGUMENTS..., its standard output untrimmed. Throws
// PostfixConfigurationError when the run fails, or with checkDiagnostics when
// it exits 0 with no output and an error diagnostic (a parameter set to
// nothing prints nothing): postconf's standard error, followed by "; repair
// NAME with tarnwick -r NAME VALUE or by hand" where its fatal line names a
// parameter (namedParameter).
std::string read(const std::vector<std::string>& arguments, bool checkDiagnostics = true);

// Whether hidden values are read again with a reference (see readParameter).
enum Hidden { KeepHidden, FindHidden };

// postconf OPTIONS... KEY, trimmed. used is false when postconf calls KEY an
// unknown parameter; with asSet (a read of what a file sets: -n, -P, -F) set
// is false when it prints nothing at all. With FindHidden, a value that postconf hides because
// nothing refers to it is read once more with a reference that lasts one run:
// postconf prints a parameter main.cf sets only when some setting refers to
// it, and -o writes nothing.
Reading readParameter(std::vector<std::string> options, const std::string& key, Hidden hidden,
                      bool asSet = false);

// What a run of edits reads of a parameter, each as postconf -h prints it.
enum Kind {
    Value,    // -h KEY: what Postfix uses (a hidden value found)
    AsSet,    // -n -h KEY: what main.cf sets (a hidden value found)
    Service,  // -P -h KEY: what master.cf sets
    Default,  // -h -d KEY: the built-in default
    Entry,    // -M SERVICE/TYPE: the entry as it prints it, each run of blanks one
    Field,    // -F -h SERVICE/TYPE/FIELD: one field of the entry
};

// The reads of a run of edits, asked for one by one. PerName runs each with
// its own postconf -h run as it is asked (readParameter's runs), as a single
// edit reads. Batched runs them at run(): one postconf run per kind for all
// the keys asked, without -h (-h prints values without their names, and
// postconf prints nothing for a name it does not know, -P in master.cf's
// order), and the hidden values of all kinds in one more, each through a
// reference name of its own (-o takes the last of several settings of one
// name). Either way each key reads as readParameter reads it. Entries are
// read with one -M run either way (-M takes no -h): each line goes to the key
// its first two fields name.
class Reads {
public:
    enum Form { PerName, Batched };
    explicit Reads(Form form) : form_(form) {}

    // Reads key as kind into *into, now or at run(); into must last until then.
    void ask(Kind kind, const std::string& key, std::optional<Reading>* into);
    // Runs what was asked since the last run. Throws what readParameter
    // throws; with Batched, a run's error diagnostic counts when some key
    // printed nothing.
    void run();

private:
    struct Asked {
        Kind kind;
        std::string key;
        std::optional<Reading>* into;
    };
    Form form_;
    std::vector<Asked> asked_;
};

// What postconf -h would print for each name, from the lines postconf prints
// without -h: "NAME = VALUE", or "NAME =" for an empty value; each line
// followed by a newline. Lines of no such form are left out.
std::map<std::string, std::string> valuesByName(const std::string& output);

// What postconf -M prints for each entry, by its "SERVICE/TYPE", in the
// form it prints (each run of blanks one) and followed by a newline.
std::map<std::string, std::string> entriesByName(const std::string& output);

// Those of serviceTypes ("SERVICE/TYPE") that master.cf does not define, in
// the order given, from one postconf -M run for them all: a service is there
// when -M prints an entry whose first two fields are its SERVICE and TYPE.
// Throws PostfixConfigurationError when the run fails, or when a service is
// missing and postconf wrote an error diagnostic.
std::vector<std::string> missingServices(const std::vector<std::string>& serviceTypes);

// The first line of errors that holds "fatal:", as postconf printed it
// (without its line end); empty when there is none.
std::string fatalLine(const std::string& errors);

// The parameter that postconf's fatal line in errors names, empty when it
// names none. postconf names one as "config variable NAME: ...", "parameter
// NAME: ...", "bad NAME value: ..." or "unknown NAME value ...": the first
// word after "fatal:" of lower-case letters, digits and '_' (a ':' after it
// aside) that holds a '_' or follows "variable" or "parameter". A path holds
// '/', a quoted value '"': neither is taken for a name.
std::string namedParameter(const std::string& errors);

// A write: postconf ARGUMENTS... (options first); throws
// PostfixConfigurationError when it fails. Whatever a successful write prints
// on standard error is dropped.
void write(const std::vector<std::string>& arguments);

}  // namespace kelmo::mail::postfix::postconf
