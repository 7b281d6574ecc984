#ifndef QUORVEL_TESTSUPPORT_H
#define QUORVEL_TESTSUPPORT_H

// Helpers shared by the unit and end-to-end tests.

#include <string>
#include <vector>

namespace testsupport {

// A fresh directory under $TMPDIR, removed with everything in it on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

struct ProcResult {
    int status = -1;   // exit status, or 128 + signal number
    std::string out;   // standard output
    std::string err;   // standard error
};

struct RunOptions {
    std::vector<std::string> env;  // extra NAME=VALUE entries (override the inherited ones)
    std::string cwd;               // empty: the current directory
    std::string stdinText;         // written to standard input, then closed
    bool onPty = false;            // standard output (only) on a pseudo-terminal
    int timeoutSeconds = 60;       // killed after this; status then 128 + SIGKILL
};

// Runs argv[0] (a path) with the arguments and collects its output.
ProcResult Run(const std::vector<std::string>& argv, const RunOptions& options = {});

// Runs the built Quorvel binary with the arguments.
ProcResult RunQuorvel(const std::vector<std::string>& args, const RunOptions& options = {});

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& content);
std::vector<std::string> SplitLines(const std::string& text);

}  // namespace testsupport

#endif
