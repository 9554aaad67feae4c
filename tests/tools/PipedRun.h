// Running a tool on a pipe that stays open, as a live receiver feeds it, and signalling it.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdint>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

struct TPiped {
    bool Ended = false; // ended by itself within 30 s of the signal
    int Status = 0;     // as waitpid gives it
    double SecondsAfterSignal = 0;
};

// aTool with aArguments reading aBytes from a pipe that stays open, interrupted (SIGINT, unless
// aSignal is false) aWait after the bytes were taken. Standard error goes to aErr, standard output
// to aOut when given. A tool still running 30 s after the signal is killed (Ended false).
inline TPiped InterruptThroughPipe(const char* aTool, const std::vector<std::string>& aArguments,
                                   const std::vector<uint8_t>& aBytes, std::chrono::milliseconds aWait,
                                   const std::filesystem::path& aErr, bool aSignal = true,
                                   const std::filesystem::path& aOut = {}) {
    TPiped r;
    // A tool that ends before it took everything must not end the test through SIGPIPE.
    std::signal(SIGPIPE, SIG_IGN);
    int fds[2];
    if (pipe(fds) != 0) return r;
    std::vector<char*> argv{const_cast<char*>(aTool)};
    for (const auto& a : aArguments)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        dup2(fds[0], 0);
        close(fds[0]);
        close(fds[1]);
        dup2(open(aErr.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
        if (!aOut.empty()) dup2(open(aOut.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
        execv(aTool, argv.data());
        _exit(127);
    }
    close(fds[0]);
    for (size_t done = 0; done < aBytes.size();) {
        const ssize_t put = write(fds[1], aBytes.data() + done, aBytes.size() - done);
        if (put <= 0) break;
        done += size_t(put);
    }
    std::this_thread::sleep_for(aWait);
    if (aSignal) kill(child, SIGINT);
    const auto signalled = std::chrono::steady_clock::now();
    pid_t ended = 0;
    for (int wait = 0; wait < 3000 && ended == 0; ++wait) {
        ended = waitpid(child, &r.Status, WNOHANG);
        if (ended == 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    r.SecondsAfterSignal =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - signalled).count();
    r.Ended = ended != 0;
    if (!r.Ended) {
        kill(child, SIGKILL);
        waitpid(child, &r.Status, 0);
    }
    close(fds[1]);
    return r;
}
