#pragma once
// What a batch run takes from the POSIX process it runs in, the same for
// the command-line and the dialog program: the width of the terminal that
// standard error is (for the progress line), and the stop that SIGINT and
// SIGTERM ask of it.

namespace veldar {

class CVELDAR2App;

// Sets `app.progressColumns` to standard error's width in columns (0 when
// it is no terminal), `app.standardOutputIsTerminal`, and `app.onBatchRun` so that, while a batch run goes,
// SIGINT or SIGTERM asks it to stop (`app.batchProgress`) and a second one
// ends the program at once; before and after the run they end it as usual.
// `app` must outlive every run.
void ConnectBatchToProcess(CVELDAR2App& app);

}  // namespace veldar
