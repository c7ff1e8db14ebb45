#include "test_support.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#ifndef _WIN32
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#endif

namespace fs = std::filesystem;

TempDir::TempDir() {
    fs::path base = fs::temp_directory_path();
    for (int attempt = 0; attempt < 1000; ++attempt) {
        fs::path candidate = base / ("launcher-test-" + std::to_string(std::rand()) + "-" +
                                     std::to_string(attempt));
        std::error_code ec;
        if (fs::create_directory(candidate, ec)) {
            path_ = candidate.string();
            return;
        }
    }
    throw std::runtime_error("cannot create a temporary folder");
}

TempDir::~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
}

std::wstring TempDir::wpath() const { return fs::path(path_).wstring(); }

std::string read_whole_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

void write_whole_file(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
}

std::wstring widen_ascii(const std::string& text) { return std::wstring(text.begin(), text.end()); }

#ifndef _WIN32

pid_t start_program(const std::vector<std::string>& arguments, const std::string& output_file) {
    std::vector<char*> argv;
    for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        if (!output_file.empty()) {
            const int out = open(output_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            if (out < 0) _exit(126);
            dup2(out, 1);
            dup2(out, 2);
            close(out);
        }
        execv(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

int wait_for_program(pid_t pid, int deadline_seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(deadline_seconds);
    int status = 0;
    while (std::chrono::steady_clock::now() < deadline) {
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) return status;
        if (done < 0) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return -1;
}

int stop_program(pid_t pid, int deadline_seconds) {
    kill(pid, SIGTERM);
    return wait_for_program(pid, deadline_seconds);
}

#endif
