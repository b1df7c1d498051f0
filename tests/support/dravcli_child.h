// The console program run as a child process, for tests that talk to it while it runs: read its
// output as it comes, signal it, limit the size of the files it writes.
#pragma once
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace drav_test {

// A run of the program as a child process: standard output through a pipe that the test reads,
// standard error into err.txt, the working and the temporary folder the test's own, and
// optionally a file-size limit (with the signal that goes with it at its default) and a signal
// that the program is started with ignored (as nohup does with SIGHUP).
class child_run {
public:
    child_run(const std::filesystem::path& dir, const std::filesystem::path& tmp, const std::vector<std::string>& args,
              rlim_t file_limit = RLIM_INFINITY, int ignored_signal = 0)
    {
        int fds[2];
        if (::pipe(fds) != 0)
            return;
        const std::string prog = std::string(DRAV_BINARY_DIR) + "/dravcli";
        const std::string err = (dir / "err.txt").string(), registry = (dir / "registry").string();
        std::vector<char*> argv{const_cast<char*>(prog.c_str())};
        for (const auto& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(fds[1], 1);
            ::close(fds[0]);
            ::close(fds[1]);
            const int e = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            ::dup2(e, 2);
            if (::chdir(dir.c_str()) != 0)
                ::_exit(127);
            ::setenv("DRAV_REGISTRY_FILE", registry.c_str(), 1);
            ::setenv("TMPDIR", tmp.c_str(), 1);
            ::signal(SIGXFSZ, SIG_DFL);
            if (ignored_signal)
                ::signal(ignored_signal, SIG_IGN);
            const struct rlimit limit{file_limit, file_limit};
            if (file_limit != RLIM_INFINITY)
                ::setrlimit(RLIMIT_FSIZE, &limit);
            ::execv(prog.c_str(), argv.data());
            ::_exit(127);
        }
        ::close(fds[1]);
        out_ = fds[0];
    }
    ~child_run()
    {
        if (out_ >= 0)
            ::close(out_);
        if (pid_ > 0 && !waited_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    child_run(const child_run&) = delete;
    child_run& operator=(const child_run&) = delete;

    pid_t pid() const { return pid_; }
    // Reads standard output until it holds the text or ends; what was read so far.
    const std::string& read_until(const std::string& text)
    {
        while (out_text_.find(text) == std::string::npos && read_some())
            ;
        return out_text_;
    }
    // The same, giving up after `bound` seconds without the text (a program that never says it).
    const std::string& read_until(const std::string& text, int bound)
    {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(bound);
        while (out_text_.find(text) == std::string::npos) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            struct pollfd p{out_, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0 || !read_some())
                break;
        }
        return out_text_;
    }
    // Reads standard output until it holds at least n bytes or ends.
    const std::string& read_bytes(std::size_t n)
    {
        while (out_text_.size() < n && read_some())
            ;
        return out_text_;
    }
    // Reads standard output to its end and waits for the program: its exit code, or -1000 minus
    // the signal that killed it.
    int finish()
    {
        while (read_some())
            ;
        int status = 0;
        ::waitpid(pid_, &status, 0);
        waited_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1000 - WTERMSIG(status);
    }
    const std::string& out() const { return out_text_; }

private:
    bool read_some()
    {
        char buf[65536];
        const ssize_t n = ::read(out_, buf, sizeof buf);
        if (n > 0)
            out_text_.append(buf, static_cast<size_t>(n));
        return n > 0 || (n < 0 && errno == EINTR);
    }

    pid_t pid_ = -1;
    int out_ = -1;
    bool waited_ = false;
    std::string out_text_;
};

} // namespace drav_test
