// Small helpers shared by the unit tests.
#pragma once

#include <string>

// A fresh folder under the system's temporary folder, removed with its
// contents when the object goes out of scope.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::wstring wpath() const;
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

std::string read_whole_file(const std::string& path);
void write_whole_file(const std::string& path, const std::string& content);
std::wstring widen_ascii(const std::string& text);

#ifndef _WIN32
#include <sys/types.h>

#include <vector>

// Starts a program (arguments[0] is its path), its standard output and error
// going to output_file when one is named: its process id, or -1.
pid_t start_program(const std::vector<std::string>& arguments,
                    const std::string& output_file = std::string());
// Waits at most deadline_seconds for a child to end, then kills it
// (SIGKILL) and reaps it: its wait status, or -1 when it had to be killed.
int wait_for_program(pid_t pid, int deadline_seconds);
// SIGTERM, then wait_for_program.
int stop_program(pid_t pid, int deadline_seconds);
#endif
