#pragma once

namespace tarnwick {

// Flushes standard output and returns status when everything written to it
// arrived. Otherwise (a full disk, a closed pipe with SIGPIPE ignored) says
// "tarnwick: write error: <system error text>" on standard error and returns
// 1, or status when that is already a failure. Call it last: the errno of the
// failed write must still be in errno.
int finishStandardOutput(int status);

}  // namespace tarnwick
