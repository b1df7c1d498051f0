// Keeping the secrets of the process out of core dumps.
#pragma once

// Turns core dumps off for the process: no core file (RLIMIT_CORE 0) and, except under
// the sanitizers (whose leak check must trace the process), not dumpable at all.
void tk_disable_core_dumps();
