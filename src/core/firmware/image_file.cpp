#include "firmware/image_file.h"

#include "platform/atomic_file.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vardo::firmware {

namespace {

struct Fd {
    int fd;
    ~Fd()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

} // namespace

FileRead readWholeFile(const std::string& path, std::string& text, std::size_t limit, std::size_t* size)
{
    text.clear();
    if (size)
        *size = 0;
    // O_NONBLOCK: opening a FIFO must not wait for a writer; its type is
    // known only once it is open.
    Fd f{::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)};
    if (f.fd < 0)
        return errno == EISDIR ? FileRead::Folder : FileRead::CannotOpen;
    struct stat st {};
    if (::fstat(f.fd, &st) != 0)
        return FileRead::CannotOpen;
    if (S_ISDIR(st.st_mode))
        return FileRead::Folder;
    if (!S_ISREG(st.st_mode) && !S_ISFIFO(st.st_mode))
        return FileRead::NotAFile;
    if (size && S_ISREG(st.st_mode))
        *size = static_cast<std::size_t>(st.st_size);
    // A pipe is read to its end: a writer still writing is waited for.
    const int flags = ::fcntl(f.fd, F_GETFL);
    if (flags < 0 || ::fcntl(f.fd, F_SETFL, flags & ~O_NONBLOCK) != 0)
        return FileRead::CannotOpen;
    switch (platform::readToEnd(f.fd, text, limit)) {
    case platform::ReadEnd::Ok:
        return FileRead::Ok;
    case platform::ReadEnd::TooLarge:
        return FileRead::TooLarge;
    case platform::ReadEnd::Failed:
        break;
    }
    return FileRead::CannotOpen;
}

} // namespace vardo::firmware
