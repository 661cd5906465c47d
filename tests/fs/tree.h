// Test trees for the file-system tests, and checks that run without root's
// privileges. For the test's main thread only: the calls create files,
// change modes and fork.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <string>
#include <vector>

// One entry of a test tree: a folder when the name ends in "/", a FIFO when
// it ends in "|", a symbolic link when it reads "name->target", else a file
// of size bytes. mtime 0 keeps the time of creation; mode -1 gives 0777
// (folders) or 0666 (files and FIFOs). A folder that exists already only
// gets its mode and time.
struct TreeEntry {
    std::string name;
    long mtime = 0;
    long size = 0;
    int mode = -1;
};

// Creates the entries under root in order, then sets modes and times from
// the last entry to the first, so that a folder listed before its content
// gets its own mode and time after the content was made.
inline void BuildTree(const std::string& root, const std::vector<TreeEntry>& entries) {
    std::vector<std::string> paths;
    for (const TreeEntry& e : entries) {
        size_t arrow = e.name.find("->");
        std::string path = root + "/" + e.name.substr(0, arrow);
        if (arrow != std::string::npos) {
            symlink(e.name.substr(arrow + 2).c_str(), path.c_str());
        } else if (path.back() == '/') {
            mkdir(path.c_str(), 0700);
        } else if (path.back() == '|') {
            path.pop_back();
            mkfifo(path.c_str(), 0600);
        } else {
            std::ofstream(path, std::ios::binary) << std::string(e.size, 'x');
        }
        paths.push_back(path);
    }
    for (size_t i = entries.size(); i-- > 0;) {
        const TreeEntry& e = entries[i];
        int mode = e.mode >= 0 ? e.mode : e.name.back() == '/' ? 0777 : 0666;
        if (e.name.find("->") == std::string::npos) chmod(paths[i].c_str(), mode);
        struct timespec times[2] = {{e.mtime, 0}, {e.mtime, 0}};
        if (e.mtime != 0) utimensat(AT_FDCWD, paths[i].c_str(), times, AT_SYMLINK_NOFOLLOW);
    }
}

// Runs check in a child process (0: passed), which first gives up root so
// that the mode bits decide every access. Returns the child's exit status,
// 77 when root could not be given up.
inline int Unprivileged(const std::function<int()>& check) {
    pid_t pid = fork();
    if (pid == 0) {
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(77);
        _exit(check());
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}
