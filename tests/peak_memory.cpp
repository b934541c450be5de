// Runs a program and, once it has ended, reports its peak resident memory
// on standard error as "peak_rss_kib <n>"; exits as the program did.
//
// The tests start a program through it rather than straight from the test
// process because a child's peak counts what it held between fork and
// execv: a copy of this small process holds next to nothing, a copy of the
// test process all that the test holds.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc < 2) return 127;
    pid_t pid = fork();
    if (pid < 0) return 127;
    if (pid == 0) {
        // Killing this process (a test's time limit) must end the program too.
        (void)prctl(PR_SET_PDEATHSIG, SIGKILL);
        execv(argv[1], argv + 1);
        _exit(127);
    }
    int status = 0;
    struct rusage usage {};
    while (wait4(pid, &status, 0, &usage) < 0) {
        if (errno != EINTR) return 127;
    }
    std::fprintf(stderr, "peak_rss_kib %ld\n", usage.ru_maxrss);
    std::fflush(stderr);
    if (WIFSIGNALED(status)) {
        std::signal(WTERMSIG(status), SIG_DFL);
        std::raise(WTERMSIG(status));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 127;
}
