#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace tarn {
namespace test {

// A file descriptor closed when the object goes away.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd = -1) : fd(fd) {}
    ~FileDescriptor() { reset(); }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    int get() const { return fd; }
    bool isOpen() const { return fd >= 0; }
    void reset(int replacement = -1) {
        if (fd >= 0) {
            ::close(fd);
        }
        fd = replacement;
    }

private:
    int fd;
};

// Both ends of a pipe, closed on exec so that no other child inherits them.
struct Pipe {
    FileDescriptor readEnd;
    FileDescriptor writeEnd;

    bool open() {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) {
            return false;
        }
        readEnd.reset(fds[0]);
        writeEnd.reset(fds[1]);
        return true;
    }
};

// How a ChildProcess is started.
struct ChildProcessOptions {
    // The child's working directory; empty: this process's.
    std::string workDir;
    // Standard input on a pipe, fed with write() and ended with closeInput().
    bool input = false;
    // Standard error on a pipe, collected into errors() while the output is read.
    bool errorPipe = false;
    // Otherwise, when set: standard error into this file, created or truncated.
    std::string errorFile;
    // A process group of its own, killed as a whole, for children that start others.
    bool ownGroup = false;
};

// A child process with its standard output on a pipe, and on request its standard input on a
// pipe and its standard error on a pipe or in a file. Every wait is bounded by a timeout; a child
// still running when the object goes away is killed by its pid and reaped.
class ChildProcess {
public:
    using Clock = std::chrono::steady_clock;
    using Options = ChildProcessOptions;

    // Runs the program at the path args[0] with args; nothing runs when args is empty, and
    // started() is false when the program could not be run.
    explicit ChildProcess(std::vector<std::string> args, const Options& options = Options())
        : ownGroup(options.ownGroup) {
        // Carries the child's errno when it fails before or in exec; closed by a successful exec.
        Pipe execStatus;
        if (args.empty() || !openPipes(options) || !execStatus.open()) {
            return;
        }
        std::vector<char*> argv;
        for (std::string& arg : args) {
            argv.push_back(&arg[0]);
        }
        argv.push_back(nullptr);
        const int in = inPipe.readEnd.get();
        const int out = outPipe.writeEnd.get();
        const int err = errPipe.writeEnd.get();
        const char* const errorFile = options.errorFile.empty() ? nullptr : options.errorFile.c_str();
        const char* const workDir = options.workDir.empty() ? nullptr : options.workDir.c_str();
        const int status = execStatus.writeEnd.get();
        const bool group = ownGroup;
        start([&] {
            // Only calls that are safe after fork in a threaded process.
            if (group) {
                ::setpgid(0, 0);
            }
            int errorTarget = err;
            if (errorTarget < 0 && errorFile) {
                errorTarget = ::open(errorFile, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            }
            if ((in < 0 || moveTo(in, STDIN_FILENO)) && moveTo(out, STDOUT_FILENO) &&
                (errorTarget < 0 || moveTo(errorTarget, STDERR_FILENO)) &&
                (!workDir || ::chdir(workDir) == 0)) {
                ::execv(argv[0], argv.data());
            }
            const int failure = errno;
            (void)!::write(status, &failure, sizeof failure);
            ::_exit(127);
        });
        execStatus.writeEnd.reset();
        int failure = 0;
        ssize_t n;
        while ((n = ::read(execStatus.readEnd.get(), &failure, sizeof failure)) < 0 && errno == EINTR) {
        }
        if (wasStarted && n != 0) {
            ::waitpid(pid, nullptr, 0);
            pid = -1;
            wasStarted = false;
            inPipe.writeEnd.reset();
        }
    }

    // Runs body in a forked copy of this process; the text it returns is the child's output. Of
    // the options only ownGroup applies: the child's own streams stay as they are.
    explicit ChildProcess(const std::function<std::string()>& body, const Options& options = Options())
        : ownGroup(options.ownGroup) {
        if (!outPipe.open()) {
            return;
        }
        const int out = outPipe.writeEnd.get();
        const bool group = ownGroup;
        start([&] {
            if (group) {
                ::setpgid(0, 0);
            }
            std::string result;
            try {
                result = body();
            } catch (...) {
                ::_exit(1);
            }
            std::size_t done = 0;
            while (done < result.size()) {
                const ssize_t n = ::write(out, result.data() + done, result.size() - done);
                if (n < 0 && errno == EINTR) {
                    continue;
                }
                if (n <= 0) {
                    ::_exit(1);
                }
                done += static_cast<std::size_t>(n);
            }
            ::_exit(0);
        });
    }

    ~ChildProcess() {
        if (pid > 0) {
            ::kill(ownGroup ? -pid : pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
    }

    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool started() const { return wasStarted; }
    // The child's process id; -1 once it has been reaped or when it never started.
    pid_t processId() const { return pid; }

    // Writes all of text to standard input; false when that fails or it is not a pipe.
    bool write(const std::string& text) {
        std::size_t done = 0;
        while (done < text.size() && inPipe.writeEnd.isOpen()) {
            const ssize_t n = ::write(inPipe.writeEnd.get(), text.data() + done, text.size() - done);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                return false;
            }
            done += static_cast<std::size_t>(n);
        }
        return done == text.size();
    }

    // Ends standard input: the child reads its end.
    void closeInput() { inPipe.writeEnd.reset(); }

    // The next line of standard output without its newline; false at the end of the output or
    // when no whole line came within timeoutMs.
    bool readLine(std::string& line, int timeoutMs) {
        const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            const std::size_t newline = outText.find('\n');
            if (newline != std::string::npos) {
                line = outText.substr(0, newline);
                outText.erase(0, newline + 1);
                return true;
            }
            if (!outPipe.readEnd.isOpen() || !fill(deadline)) {
                return false;
            }
        }
    }

    // Reads the piped output streams until they end; false when they are still open at deadline.
    bool readToEnd(Clock::time_point deadline) {
        while (outPipe.readEnd.isOpen() || errPipe.readEnd.isOpen()) {
            if (!fill(deadline)) {
                return false;
            }
        }
        return true;
    }

    // The exit code once the output has ended, waiting at most timeoutMs for that end (0: it must
    // have ended already); -1 when it has not, or when the child did not exit by itself.
    int exitCode(int timeoutMs) {
        if (pid <= 0 || !readToEnd(Clock::now() + std::chrono::milliseconds(timeoutMs))) {
            return -1;
        }
        // Blocks only for a child that closed its output before it exits.
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    // Standard output read so far and not taken by readLine().
    const std::string& output() const { return outText; }
    // Standard error read so far, when it is piped.
    const std::string& errors() const { return errText; }

private:
    bool openPipes(const Options& options) {
        return (!options.input || inPipe.open()) && outPipe.open() && (!options.errorPipe || errPipe.open());
    }

    // Forks; the child runs inChild, which never returns. The parent keeps its own pipe ends.
    template <typename InChild>
    void start(const InChild& inChild) {
        pid = ::fork();
        if (pid == 0) {
            inChild();
        }
        if (pid > 0 && ownGroup) {
            // Also here, so that a kill right after the fork already reaches the whole group.
            ::setpgid(pid, pid);
        }
        wasStarted = pid > 0;
        inPipe.readEnd.reset();
        outPipe.writeEnd.reset();
        errPipe.writeEnd.reset();
        if (!wasStarted) {
            inPipe.writeEnd.reset();
        }
    }

    // Puts fd at target for exec; dup2 onto the same number would keep its close-on-exec flag.
    static bool moveTo(int fd, int target) {
        if (fd == target) {
            return ::fcntl(fd, F_SETFD, 0) == 0;
        }
        return ::dup2(fd, target) == target;
    }

    // Reads what arrives on the open output pipes; false at the deadline or when none is open.
    bool fill(Clock::time_point deadline) {
        struct Stream {
            FileDescriptor* fd;
            std::string* text;
        };
        Stream streams[2];
        pollfd polled[2];
        nfds_t count = 0;
        for (Stream stream : {Stream{&outPipe.readEnd, &outText}, Stream{&errPipe.readEnd, &errText}}) {
            if (stream.fd->isOpen()) {
                streams[count] = stream;
                polled[count] = {stream.fd->get(), POLLIN, 0};
                ++count;
            }
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (count == 0 || left <= 0) {
            return false;
        }
        const int ready = ::poll(polled, count, static_cast<int>(left));
        if (ready <= 0) {
            return ready < 0 && errno == EINTR;
        }
        for (nfds_t i = 0; i < count; ++i) {
            if (polled[i].revents == 0) {
                continue;
            }
            char chunk[4096];
            const ssize_t n = ::read(polled[i].fd, chunk, sizeof chunk);
            if (n > 0) {
                streams[i].text->append(chunk, static_cast<std::size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                streams[i].fd->reset();
            }
        }
        return true;
    }

    const bool ownGroup;
    bool wasStarted = false;
    pid_t pid = -1;
    Pipe inPipe;
    Pipe outPipe;
    Pipe errPipe;
    std::string outText;
    std::string errText;
};

}  // namespace test
}  // namespace tarn
