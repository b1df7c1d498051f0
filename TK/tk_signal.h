// Stopping the program by SIGINT, SIGTERM or SIGHUP: the running conversion stops at its next step.
#pragma once

// Installs the handlers. The first of these signals is remembered, and every
// tk_thread_functor then sees a stop request; a second signal of the same kind ends the
// process at once (the default action).
void tk_install_stop_signals();
// The signal that asked the program to stop; 0 when none came.
int tk_stop_signal();
// Forgets a signal that came (for tests).
void tk_reset_stop_signal();
