#pragma once

#include "tool/Options.h"
#include "tool/ReservedStdout.h"

namespace tarnwick {

// One run of the tool, all but its failure report: the edits from the
// command line, a batch or a --undo report, applied through the library under
// its lock, the writes logged once the lock is released, Postfix reloaded
// where asked, then the warnings and the -v or --json report. Throws what the
// library throws, BatchFileError, UndoReportError, and PostfixReloadError
// (ending "the changes above are written") for a reload that failed.
void runEdits(const Options& options, ReservedStdout& reserved);

}  // namespace tarnwick
