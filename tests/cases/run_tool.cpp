// SPDX-FileCopyrightText: 2026 dcp-sealkey developers
// SPDX-License-Identifier: MIT

#include "run_tool.hpp"

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/magic.h>
#include <poll.h>
#include <pty.h>
#include <sys/vfs.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

std::string read_all(FILE* f) {
    std::string text;
    for (int c = fgetc(f); c != EOF; c = fgetc(f)) {
        text += static_cast<char>(c);
    }
    return text;
}

void write_all(int fd, const std::string& data) {
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return; // the tool stopped reading
        }
        done += static_cast<std::size_t>(n);
    }
}

// Reads both pipes to their end.
void drain(int out_fd, int err_fd, std::string* out, std::string* err) {
    pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
    std::string* sinks[2] = {out, err};
    int open_fds = (out_fd >= 0) + (err_fd >= 0); // poll skips a closed stdout's -1
    while (open_fds > 0) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) {
                continue;
            }
            char buf[4096];
            const ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                sinks[i]->append(buf, static_cast<std::size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open_fds;
            }
        }
    }
}

// Appends DCP_TEST_WRAPPER, split at spaces: a command the tool runs
// under, such as valgrind.
void add_wrapper(std::vector<std::string>& argv) {
    const char* wrapper = getenv("DCP_TEST_WRAPPER");
    for (const char* p = wrapper; p != nullptr && *p != '\0';) {
        const char* end = strchrnul(p, ' ');
        if (end != p) {
            argv.emplace_back(p, end);
        }
        p = *end == '\0' ? end : end + 1;
    }
}

// A null-terminated array of the strings, for exec.
std::vector<char*> c_strings(std::vector<std::string>& strings) {
    std::vector<char*> out;
    for (auto& s : strings) {
        out.push_back(s.data());
    }
    out.push_back(nullptr);
    return out;
}

std::vector<std::string> namespace_prefix() {
    std::vector<std::string> argv = {"unshare", "--mount", "--propagation", "private"};
    if (geteuid() != 0) {
        argv.emplace_back("--map-root-user");
    }
    return argv;
}

} // namespace

run_result run_tool(const run_options& options) {
    run_result result;
    char log_path[] = "/tmp/kcapi-double-log.XXXXXX";
    char dev_dir[] = "/tmp/dcp-dev.XXXXXX";
    close(mkstemp(log_path));
    if (!options.dev_layout.empty() && mkdtemp(dev_dir) == nullptr) {
        return result;
    }

    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        if (strncmp(*e, "KCAPI_DOUBLE_", 13) != 0 && strncmp(*e, "LD_PRELOAD=", 11) != 0) {
            env.emplace_back(*e);
        }
    }
    env.push_back(std::string("KCAPI_DOUBLE_LOG=") + log_path);
    for (const auto& [name, value] : options.env) {
        env.push_back(name + "=" + value);
    }

    std::vector<std::string> argv;
    if (options.dev_layout.empty()) {
        env.emplace_back("LD_PRELOAD=" KCAPI_DOUBLE_PATH);
    } else {
        // Only the tool gets the emulated DCP, not unshare and sh.
        argv = namespace_prefix();
        argv.insert(argv.end(), {"sh", "-ec",
                                 "D=$1; mount -t tmpfs tmpfs \"$D\"; " + options.dev_layout +
                                     "\nmount --rbind \"$D\" /dev; export LD_PRELOAD=\"$2\"; "
                                     "shift 2; exec \"$@\"",
                                 "sh", dev_dir, KCAPI_DOUBLE_PATH});
    }
    add_wrapper(argv);
    argv.emplace_back(DCP_SEALKEY_PATH);

    int in_pipe[2] = {-1, -1};
    int out_pipe[2] = {-1, -1};
    int err_pipe[2] = {-1, -1};
    int in_child = -1;
    if (options.in == input_kind::terminal) {
        if (openpty(&in_pipe[1], &in_child, nullptr, nullptr, nullptr) != 0) {
            return result;
        }
    } else if (options.in == input_kind::file) {
        // A shared file offset shows how much of its input the tool took.
        char input_path[] = "/tmp/dcp-input.XXXXXX";
        in_child = mkstemp(input_path);
        unlink(input_path);
        for (const auto& piece : options.pieces) {
            write_all(in_child, piece);
        }
        lseek(in_child, 0, SEEK_SET);
    } else if (options.in == input_kind::pipe) {
        if (pipe(in_pipe) != 0) {
            return result;
        }
        in_child = in_pipe[0];
    }
    if (pipe(err_pipe) != 0 || (options.out == output_kind::pipe && pipe(out_pipe) != 0)) {
        return result;
    }

    signal(SIGPIPE, SIG_IGN); // the tool may stop reading early
    const pid_t pid = fork();
    if (pid == 0) {
        signal(SIGPIPE, SIG_DFL);
        if (options.in == input_kind::closed) {
            close(STDIN_FILENO);
        } else {
            dup2(in_child, STDIN_FILENO);
        }
        if (options.out == output_kind::pipe) {
            dup2(out_pipe[1], STDOUT_FILENO);
        } else if (options.out == output_kind::dev_full) {
            const int full = open("/dev/full", O_WRONLY);
            dup2(full, STDOUT_FILENO);
        } else {
            close(STDOUT_FILENO);
        }
        dup2(err_pipe[1], STDERR_FILENO);
        for (int fd = 3; fd < 1024; ++fd) {
            close(fd);
        }
        execvpe(argv[0].c_str(), c_strings(argv).data(), c_strings(env).data());
        _exit(127);
    }

    if (options.in != input_kind::file && in_child >= 0) {
        close(in_child); // a file's offset is read after the run
    }
    close(err_pipe[1]);
    if (out_pipe[1] >= 0) {
        close(out_pipe[1]);
    }
    if (in_pipe[1] >= 0) {
        for (std::size_t i = 0; i < options.pieces.size(); ++i) {
            if (i > 0) {
                usleep(100 * 1000); // lets the tool see each piece on its own
            }
            write_all(in_pipe[1], options.pieces[i]);
        }
        if (options.in == input_kind::pipe) {
            close(in_pipe[1]);
            in_pipe[1] = -1;
        }
    }
    drain(out_pipe[0], err_pipe[0], &result.out, &result.err);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (in_pipe[1] >= 0) {
        close(in_pipe[1]); // a terminal stays open until the tool is done
    }
    if (options.in == input_kind::file) {
        result.input_consumed = lseek(in_child, 0, SEEK_CUR);
        close(in_child);
    }
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    if (FILE* log = fopen(log_path, "r")) {
        result.log = read_all(log);
        fclose(log);
    }
    unlink(log_path);
    if (!options.dev_layout.empty()) {
        rmdir(dev_dir);
    }
    return result;
}

bool private_dev_available(std::string* why) {
    std::string cmd;
    for (const auto& a : namespace_prefix()) {
        cmd += a + " ";
    }
    cmd += "sh -c 'mount -t tmpfs tmpfs /mnt' 2>&1";
    FILE* p = popen(cmd.c_str(), "r");
    if (p == nullptr) {
        *why = "cannot run unshare";
        return false;
    }
    const std::string text = read_all(p);
    if (pclose(p) != 0) {
        *why = "no private mount namespace here (" + cmd + "): " + text;
        return false;
    }
    return true;
}

bool pty_available(std::string* why) {
    int controller = -1;
    int terminal = -1;
    if (openpty(&controller, &terminal, nullptr, nullptr, nullptr) == 0) {
        close(controller);
        close(terminal);
        return true;
    }
    *why = std::string("no pseudo-terminal: openpty failed (") + strerror(errno) + ")";
    struct statfs fs = {};
    if (statfs("/dev/pts", &fs) != 0 || fs.f_type != DEVPTS_SUPER_MAGIC) {
        *why += ", /dev/pts is not a devpts mount";
    }
    return false;
}

std::string said(const char* format, ...) {
    char text[512];
    va_list values;
    va_start(values, format);
    vsnprintf(text, sizeof text, format, values);
    va_end(values);
    return text;
}

std::string count_line(std::size_t n) {
    return said(MSG_KEY_READ, static_cast<ssize_t>(n)) +
           (n < MIN_LOADABLE_KEY ? MSG_SHORT_KEY : "");
}

std::string hwrng_warnings() {
    const int fd = open("/dev/hwrng", O_RDONLY);
    if (fd >= 0) {
        close(fd);
        return "";
    }
    return std::string(MSG_NO_HWRNG) + MSG_NO_HWRNG;
}
