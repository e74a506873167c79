#include "run_tool.h"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <csignal>
#include <cstring>
#include <stdexcept>

extern char **environ;

namespace tooltest {

namespace {

struct Pipe {
    int read = -1;
    int write = -1;
};

Pipe make_pipe() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error(std::string("pipe2: ") + std::strerror(errno));
    return {fds[0], fds[1]};
}

void close_fd(int &fd) {
    if (fd >= 0) close(fd);
    fd = -1;
}

}  // namespace

ToolRun run_tool(const std::vector<std::string> &args, std::string_view input) {
    // A tool that exits without reading its input must not kill the test.
    std::signal(SIGPIPE, SIG_IGN);
    Pipe in = make_pipe();
    Pipe out = make_pipe();
    Pipe err = make_pipe();

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in.read, STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out.write, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err.write, STDERR_FILENO);
    std::vector<char *> argv;
    std::string path = NUBREL_TOOL_PATH;
    argv.push_back(path.data());
    std::vector<std::string> copies(args);
    for (std::string &arg : copies) argv.push_back(arg.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, path.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close_fd(in.read);
    close_fd(out.write);
    close_fd(err.write);
    if (spawned != 0) {
        close_fd(in.write);
        close_fd(out.read);
        close_fd(err.read);
        throw std::runtime_error(std::string("posix_spawn: ") + std::strerror(spawned));
    }

    ToolRun run;
    size_t written = 0;
    if (input.empty()) close_fd(in.write);
    while (in.write >= 0 || out.read >= 0 || err.read >= 0) {
        std::array<pollfd, 3> fds{{{in.write, POLLOUT, 0}, {out.read, POLLIN, 0}, {err.read, POLLIN, 0}}};
        if (poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (fds[0].revents != 0) {
            // POLLOUT promises room for PIPE_BUF bytes, so this write does not block.
            const size_t chunk = std::min<size_t>(input.size() - written, PIPE_BUF);
            const ssize_t n = (fds[0].revents & POLLOUT) ? write(in.write, input.data() + written, chunk) : -1;
            if (n > 0) written += static_cast<size_t>(n);
            if (n <= 0 || written == input.size()) close_fd(in.write);
        }
        for (auto [index, target] : {std::pair{1, &run.out}, std::pair{2, &run.err}}) {
            if (fds[index].revents == 0) continue;
            int &fd = index == 1 ? out.read : err.read;
            char buffer[4096];
            const ssize_t n = read(fd, buffer, sizeof buffer);
            if (n > 0)
                target->append(buffer, static_cast<size_t>(n));
            else if (n == 0 || errno != EINTR)
                close_fd(fd);
        }
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

}  // namespace tooltest
