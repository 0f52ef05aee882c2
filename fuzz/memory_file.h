#pragma once
// A fuzz input served from memory through a real path, so the code under test
// opens and reads it unchanged without touching the disk.
#include <cstdlib>
#include <string>
#include <string_view>

#include <sys/mman.h>
#include <unistd.h>

namespace vardo::fuzz {

struct MemoryFile {
    int fd = ::memfd_create("vardo-fuzz", MFD_CLOEXEC);
    std::string path = "/proc/self/fd/" + std::to_string(fd);

    void fill(std::string_view bytes) const
    {
        if (fd < 0 || ::ftruncate(fd, 0) != 0)
            std::abort();
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::pwrite(fd, bytes.data() + done, bytes.size() - done,
                                       static_cast<off_t>(done));
            if (n <= 0)
                std::abort();
            done += static_cast<std::size_t>(n);
        }
    }
};

} // namespace vardo::fuzz
