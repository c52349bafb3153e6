// SIGTERM and SIGINT turned into bytes in a pipe, for a loop to read when it
// is ready: a handler may do next to nothing safely, so it only writes.
// Every face that ends cleanly on them (the window, the terminal face, the
// bench) takes them this way. POSIX only; Windows has its console handler.
#pragma once

namespace signal_pipe {

// From now on each SIGTERM or SIGINT puts one byte into the pipe instead of
// ending the program. The pipe's read end, non-blocking, for the loop to
// watch; -1 when no pipe could be made, and the signals keep their default.
int CatchCloseSignals();

// How many signals came since the last call, taken from the pipe; the
// number of the last of them in `last` when one came.
int TakeSignals(int* last = nullptr);

}  // namespace signal_pipe
