// The process keeps its secrets out of core dumps.
#include <gtest/gtest.h>

#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "TK/tk_core.h"

TEST(TkCore, NoCoreFileAndNotDumpable)
{
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        tk_disable_core_dumps();
        struct rlimit r {};
        int bad = ::getrlimit(RLIMIT_CORE, &r) != 0 || r.rlim_cur != 0 ? 1 : 0;
#if !defined(__SANITIZE_ADDRESS__)
        bad |= ::prctl(PR_GET_DUMPABLE, 0, 0, 0, 0) != 0 ? 2 : 0;
#endif
        ::_exit(bad);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}
