#pragma once
// Makes writes beyond a size fail (EFBIG) for one scope, as a full disk would.
#include <csignal>
#include <sys/resource.h>

namespace vardo::testenv {

struct FileSizeLimit {
    rlimit saved{};
    void (*savedHandler)(int);
    explicit FileSizeLimit(rlim_t bytes)
    {
        savedHandler = std::signal(SIGXFSZ, SIG_IGN);
        ::getrlimit(RLIMIT_FSIZE, &saved);
        rlimit limit{bytes, saved.rlim_max};
        ::setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit()
    {
        ::setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, savedHandler);
    }
};

} // namespace vardo::testenv
