#pragma once

// Putting written changes in force: the runs of /usr/sbin/postfix.

namespace kelmo::mail::postfix {

// How long postfix status and postfix reload may each take: both log through
// the system log and block while its daemon stalls.
constexpr int kPostfixSeconds = 30;

// Runs postfix status, and when it exits 0 (Postfix runs for the
// configuration MAIL_CONFIG names, passed on with the rest of the
// environment) postfix reload; each under /usr/bin/timeout, stopped after
// kPostfixSeconds. Returns whether it reloaded. Throws PostfixReloadError
// with what postfix printed when the reload fails (or the exit status when
// it printed nothing), and when either run is stopped; exceptions of the
// pipe pass through.
bool reloadIfRunning();

}  // namespace kelmo::mail::postfix
