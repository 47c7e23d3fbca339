// The signals that end a run from outside: held while a file is half
// written, and otherwise ending the run without a named staging file left.
#include <fcntl.h>
#include <unistd.h>

#include <csignal>

#include "common-posix.h"
#include "platform.h"

namespace {

// The named staging files of this run (the new bytes, and the old ones kept
// aside while the output is overwritten), which a signal must not leave behind.
staging* volatile named_files[2] = {};

// The signals that end a process unless it catches them, but SIGKILL and
// SIGSTOP, which cannot be caught.
sigset_t ending_signals()
{
    sigset_t set;
    sigemptyset(&set);
    for (const int sig :
         {SIGHUP,  SIGINT,  SIGQUIT, SIGILL,    SIGTRAP, SIGABRT, SIGBUS,    SIGFPE,  SIGUSR1, SIGSEGV, SIGUSR2,
          SIGPIPE, SIGALRM, SIGTERM, SIGSTKFLT, SIGXCPU, SIGXFSZ, SIGVTALRM, SIGPROF, SIGIO,   SIGPWR,  SIGSYS})
        sigaddset(&set, sig);
    for (int sig = SIGRTMIN; sig <= SIGRTMAX; ++sig)
        sigaddset(&set, sig);
    return set;
}

// Removes the named staging files, then ends the run by the same signal, as
// it would have ended without this handler.
void remove_and_end(int sig)
{
    for (staging* stage : named_files)
        if (stage != nullptr)
            unlinkat(fd_of(stage->folder), stage->name, 0);
    signal(sig, SIG_DFL);
    raise(sig);
}

}  // namespace

void remember_name(staging& stage)
{
    static bool handlers_installed = false;
    staging* volatile* free_slot = nullptr;
    for (staging* volatile& slot : named_files) {
        if (slot == &stage)
            return;
        if (slot == nullptr && free_slot == nullptr)
            free_slot = &slot;
    }
    if (free_slot != nullptr)
        *free_slot = &stage;
    if (handlers_installed)
        return;
    struct sigaction action = {};
    action.sa_handler = remove_and_end;
    // One handler at a time: a second signal waits until the first has
    // removed the files and ended the run.
    action.sa_mask = ending_signals();
    for (int sig = 1; sig < NSIG; ++sig) {
        struct sigaction old;
        // A signal ignored by whoever started us stays ignored.
        if (sigismember(&action.sa_mask, sig) == 1 && sigaction(sig, nullptr, &old) == 0 && old.sa_handler != SIG_IGN)
            sigaction(sig, &action, nullptr);
    }
    handlers_installed = true;
}

void forget_name(staging& stage)
{
    for (staging* volatile& slot : named_files)
        if (slot == &stage)
            slot = nullptr;
    stage.name[0] = '\0';
}

void hold_signals()
{
    const sigset_t set = ending_signals();
    sigprocmask(SIG_BLOCK, &set, nullptr);
}

void release_signals()
{
    const sigset_t set = ending_signals();
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
}
