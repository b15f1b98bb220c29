// Process service over posix_spawn.
//
// glibc (2.24 and later) runs the child with CLONE_VFORK and hands an exec
// failure back as posix_spawn's own result, so a missing or non-executable
// program is reported here rather than as a child that dies at once.
#include "process.h"

#include <signal.h>
#include <spawn.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "failure.h"

extern char** environ;

namespace velloran {

void startProgram(const std::string& path) {
    posix_spawnattr_t attr;
    posix_spawn_file_actions_t actions;
    if (int rc = posix_spawnattr_init(&attr); rc != 0)
        throw Failure(FailureKind::Io, "Cannot start " + path + ": " + std::strerror(rc));
    if (int rc = posix_spawn_file_actions_init(&actions); rc != 0) {
        posix_spawnattr_destroy(&attr);
        throw Failure(FailureKind::Io, "Cannot start " + path + ": " + std::strerror(rc));
    }

    // The served program starts clean: default signal handling, nothing
    // blocked, and none of our descriptors (sockets of the HTTP pool, the
    // display connection) beyond the standard three.
    sigset_t none;
    sigset_t all;
    sigemptyset(&none);
    sigfillset(&all);
    int rc = posix_spawnattr_setsigmask(&attr, &none);
    if (rc == 0) rc = posix_spawnattr_setsigdefault(&attr, &all);
    if (rc == 0) rc = posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    if (rc == 0) rc = posix_spawn_file_actions_addclosefrom_np(&actions, 3);

    if (rc == 0) {
        char* argv[] = {const_cast<char*>(path.c_str()), nullptr};
        pid_t pid = 0;
        rc = posix_spawn(&pid, path.c_str(), &actions, &attr, argv, environ);
    }
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    if (rc != 0) throw Failure(FailureKind::Io, "Cannot start " + path + ": " + std::strerror(rc));
    // The child is not waited for: this process ends right after the launch
    // and the child is handed to init.
}

void endProcessNow(int code) {
    std::fflush(stdout);
    std::fflush(stderr);
    ::_exit(code);
}

}  // namespace velloran
