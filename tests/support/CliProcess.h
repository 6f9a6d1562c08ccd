#pragma once
// One run of a program as its own process (the headless front end, usually), for tests that kill
// it, wait for it and read what it printed: standard output and error go to files, the working
// folder and extra environment variables are chosen by the test, and a wrapper (strace, say) may
// stand before the program. Killed and reaped when the object goes. Used from the test thread.
#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

class CliProcess {
public:
    struct Options {
        std::filesystem::path program;
        std::vector<std::string> args;
        std::filesystem::path logFolder;      // where the output files go
        std::filesystem::path workingFolder;  // empty: the test's own
        std::vector<std::string>
            environment;  // "NAME=value": added to the test's own, or in place of it
        std::vector<std::string> wrapper;  // a command line put before the program
        std::string input;                 // its standard input (empty: nothing to read)
    };

    explicit CliProcess(const Options& options);
    ~CliProcess();
    CliProcess(const CliProcess&) = delete;
    CliProcess& operator=(const CliProcess&) = delete;

    // The exit code; 128 + the signal for a run that a signal ended; -1 for one that did not end
    // within `limit` (it is killed then, and the test fails).
    int Wait(std::chrono::seconds limit = std::chrono::seconds(60));
    bool Running();
    // The process id while it runs (-1 once it was reaped or did not start).
    pid_t Pid() const { return pid_; }
    void Signal(int signal) const;
    std::string Out() const;
    std::string Err() const;

private:
    bool Reap(bool block);

    pid_t pid_ = -1;
    int status_ = -1;
    std::filesystem::path outPath_;
    std::filesystem::path errPath_;
};
