#include "support/CliProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <string_view>

#include <gtest/gtest.h>

#include "support/FileFixtures.h"
#include "support/WaitFor.h"

extern char** environ;

namespace fs = std::filesystem;

CliProcess::CliProcess(const Options& options) {
    static int runs = 0;
    const std::string tag = std::to_string(++runs);
    outPath_ = options.logFolder / ("out" + tag);
    errPath_ = options.logFolder / ("err" + tag);
    std::vector<std::string> all = options.wrapper;
    all.push_back(options.program.string());
    all.insert(all.end(), options.args.begin(), options.args.end());
    std::vector<char*> argv;
    for (std::string& arg : all) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    // The test's own variables, but those the options set again: the program would read the
    // first of two with the same name.
    const auto setAgain = [&options](std::string_view variable) {
        const std::string_view name = variable.substr(0, variable.find('='));
        return std::any_of(
            options.environment.begin(), options.environment.end(), [name](const std::string& set) {
                return set.size() > name.size() && set.starts_with(name) && set[name.size()] == '=';
            });
    };
    std::vector<std::string> environment;
    for (char** variable = environ; *variable != nullptr; ++variable) {
        if (!setAgain(*variable)) {
            environment.emplace_back(*variable);
        }
    }
    environment.insert(environment.end(), options.environment.begin(), options.environment.end());
    std::vector<char*> envp;
    for (std::string& variable : environment) {
        envp.push_back(variable.data());
    }
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    const fs::path inPath = options.logFolder / ("in" + tag);
    WriteFile(inPath, options.input);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, inPath.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outPath_.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errPath_.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (!options.workingFolder.empty()) {
        posix_spawn_file_actions_addchdir_np(&actions, options.workingFolder.c_str());
    }
    const int spawned = posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        pid_ = -1;
        ADD_FAILURE() << "cannot start " << argv[0];
    }
}

CliProcess::~CliProcess() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        Reap(true);
    }
}

int CliProcess::Wait(std::chrono::seconds limit) {
    if (pid_ <= 0) {
        return status_;
    }
    if (!WaitFor([this] { return Reap(false); }, limit)) {
        kill(pid_, SIGKILL);
        Reap(true);
        ADD_FAILURE() << "the program did not end in time; its output:\n" << Out() << Err();
        return -1;
    }
    return status_;
}

bool CliProcess::Running() {
    return pid_ > 0 && !Reap(false);
}

void CliProcess::Signal(int signal) const {
    if (pid_ > 0) {
        kill(pid_, signal);
    }
}

std::string CliProcess::Out() const {
    return ReadFile(outPath_);
}

std::string CliProcess::Err() const {
    return ReadFile(errPath_);
}

bool CliProcess::Reap(bool block) {
    int status = 0;
    const pid_t done = waitpid(pid_, &status, block ? 0 : WNOHANG);
    if (done != pid_) {
        return false;
    }
    pid_ = -1;
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return true;
}
