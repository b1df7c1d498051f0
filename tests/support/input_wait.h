// Whether a process waits on its peer: one of its threads sits in the system waiting for input
// (poll, select, or a read of a socket), as a client does while its server does not answer.
#pragma once
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

namespace drav_test {

// The system calls that wait for input.
inline bool is_input_wait(long call)
{
    switch (call) {
#ifdef SYS_poll
    case SYS_poll:
#endif
#ifdef SYS_select
    case SYS_select:
#endif
#ifdef SYS_epoll_wait
    case SYS_epoll_wait:
#endif
    case SYS_ppoll:
    case SYS_pselect6:
    case SYS_epoll_pwait:
        return true;
    default:
        return false;
    }
}

// Whether a thread of the process (0: this one) waits for input now.
inline bool waits_for_input(pid_t pid = 0)
{
    namespace fs = std::filesystem;
    const fs::path proc = "/proc/" + (pid == 0 ? std::string("self") : std::to_string(pid));
    std::error_code ec;
    for (const auto& task : fs::directory_iterator(proc / "task", ec)) {
        std::ifstream in(task.path() / "syscall");
        long call = -1;
        std::string fd_text;
        if (!(in >> call))
            continue;
        if (is_input_wait(call))
            return true;
        // A read of a socket: its first argument is the descriptor.
        if ((call == SYS_read || call == SYS_recvfrom || call == SYS_recvmsg) && (in >> fd_text)) {
            const long fd = std::stol(fd_text, nullptr, 16);
            const fs::path link = fs::read_symlink(proc / "fd" / std::to_string(fd), ec);
            if (!ec && link.string().rfind("socket:", 0) == 0)
                return true;
        }
    }
    return false;
}

// Waits (a minute at most) until the process has waited for input at two looks in a row: input
// that was under way when its peer stopped has then been taken, and the wait lasts.
inline bool until_waits_for_input(pid_t pid = 0)
{
    int seen = 0;
    for (int i = 0; i < 1200 && seen < 2; ++i) {
        seen = waits_for_input(pid) ? seen + 1 : 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return seen >= 2;
}

} // namespace drav_test
