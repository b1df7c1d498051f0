// Keeping the secrets of the process out of core dumps.
#include "TK/tk_core.h"

#include <sys/prctl.h>
#include <sys/resource.h>

#include "TK/tk_log.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define TK_UNDER_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TK_UNDER_SANITIZER 1
#endif
#endif

void tk_disable_core_dumps()
{
    struct rlimit none {};
    if (::setrlimit(RLIMIT_CORE, &none) != 0)
        tk_log_write(2, "Cannot turn core files off");
#ifndef TK_UNDER_SANITIZER
    if (::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) != 0)
        tk_log_write(2, "Cannot make the process undumpable");
#endif
}
