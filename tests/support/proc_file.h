#pragma once
// A file read whole with plain read(2): a stream's read of /proc/PID/... of
// a process that ends meanwhile throws ("No such process"); here that file
// is simply empty.
#include <fcntl.h>
#include <unistd.h>

#include <string>

namespace qvtest {

inline std::string read_whole(const std::string& path) {
    std::string out;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return out;
    char chunk[4096];
    ssize_t n;
    while ((n = read(fd, chunk, sizeof chunk)) > 0)
        out.append(chunk, static_cast<size_t>(n));
    close(fd);
    return n < 0 ? std::string() : out;
}

}  // namespace qvtest
