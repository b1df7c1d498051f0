// dravlen: the conversion wizard. The whole command line is the path of a profile to run at once.
#include <string>

#include "TK/tk_core.h"
#include "TK/tk_signal.h"
#include "wizard/qel_entry.h"

int main(int argc, char** argv)
{
    tk_install_stop_signals();
    // Passwords pass through this process: no core dump may keep them.
    tk_disable_core_dumps();
    std::string tail;
    for (int i = 1; i < argc; ++i) {
        if (i > 1)
            tail += ' ';
        tail += argv[i];
    }
    return dravlen_main(tail);
}
