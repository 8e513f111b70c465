#pragma once
// Spinning processes beside a benchmark, as the rest of a busy desktop keeps every core busy.
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <vector>

// `count` processes that spin on every CPU until this object goes, at the default priority: the load
// of a busy desktop. Each also dies with this process (and after ten minutes in any case), so an
// interrupted run leaves none behind. Each runs a shell loop rather than going on as a copy of this
// process: beside eight copies, which share the benchmark's gigabytes of model and buffers, the base
// encoder took six times its idle time, beside eight small spinning programs (a shell's loop, or a
// C loop started from outside) about twice, and a desktop's other programs share no memory with ours.
class BusyProcesses {
public:
    explicit BusyProcesses(int count) {
        const pid_t parent = getpid();
        for (int i = 0; i < count; ++i) {
            const pid_t pid = fork();
            if (pid == 0) spin(parent);
            if (pid > 0) children_.push_back(pid);
        }
    }
    ~BusyProcesses() {
        for (pid_t pid : children_) kill(pid, SIGKILL);
        for (pid_t pid : children_) waitpid(pid, nullptr, 0);
    }
    BusyProcesses(const BusyProcesses&) = delete;
    BusyProcesses& operator=(const BusyProcesses&) = delete;

private:
    [[noreturn]] static void spin(pid_t parent) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) _exit(0);
        alarm(600);
        cpu_set_t all;  // every CPU, not only those a decoder line placed its threads on
        CPU_ZERO(&all);
        for (int c = 0; c < CPU_SETSIZE; ++c) CPU_SET(c, &all);
        sched_setaffinity(0, sizeof all, &all);
        execl("/bin/sh", "sh", "-c", "while :; do :; done", static_cast<char*>(nullptr));
        for (;;) __asm__ volatile("");  // no shell: spin here, as a copy
    }
    std::vector<pid_t> children_;
};
