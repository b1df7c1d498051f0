// Stopping the program by SIGINT, SIGTERM or SIGHUP: the running conversion stops at its next step.
#pragma once

// Installs the handlers; the programs do so before any other work. The first of these signals is
// remembered, and every tk_thread_functor then sees a stop request; a second signal of the same
// kind ends the process at once (the default action). A signal ignored by the process that started
// this one stays ignored.
void tk_install_stop_signals();
// A write into a pipe without a reader (SIGPIPE) or beyond the file-size limit (SIGXFSZ) fails
// as a write (EPIPE, EFBIG) that is reported, instead of ending the process without a word.
void tk_ignore_write_signals();
// The signal that asked the program to stop; 0 when none came.
int tk_stop_signal();
// Forgets a signal that came (for tests).
void tk_reset_stop_signal();
