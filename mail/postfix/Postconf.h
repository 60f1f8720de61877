#pragma once

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
// unknown parameter; set is false when a read of what a file sets (-n, -P)
// prints nothing at all. With FindHidden, a value that postconf hides because
// nothing refers to it is read once more with a reference that lasts one run:
// postconf prints a parameter main.cf sets only when some setting refers to
// it, and -o writes nothing.
Reading readParameter(std::vector<std::string> options, const std::string& key, Hidden hidden);

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
