#include "platform/atomic_file.h"

#include <atomic>
#include <cerrno>
#include <mutex>
#include <utility>

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vardo::platform {

namespace {

std::string folderOf(const std::string& path)
{
    const auto slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string baseNameOf(const std::string& path)
{
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Nobody but us (or root) may add, remove or rename entries in the folder.
bool onlyWeMayWrite(const std::string& folder)
{
    struct stat st {};
    if (::stat(folder.c_str(), &st) != 0)
        return false;
    const bool trustedOwner = st.st_uid == ::geteuid() || st.st_uid == 0;
    return trustedOwner && (st.st_mode & (S_IWGRP | S_IWOTH | S_ISVTX)) == 0;
}

// The regular file that path leads to, when it may be written through every
// link on the way; "" when some link there is not ours to follow.
std::string safeLinkTarget(const std::string& path)
{
    std::string current = path;
    for (int hop = 0; hop < 40; ++hop) {
        struct stat st {};
        if (::lstat(current.c_str(), &st) != 0)
            return {};
        const bool ours = st.st_uid == ::geteuid() && onlyWeMayWrite(folderOf(current));
        if (!S_ISLNK(st.st_mode))
            return ours && S_ISREG(st.st_mode) ? current : std::string();
        if (!ours)
            return {};
        std::string target(4096, '\0');
        const ssize_t n = ::readlink(current.c_str(), target.data(), target.size());
        if (n <= 0 || static_cast<std::size_t>(n) >= target.size())
            return {};
        target.resize(static_cast<std::size_t>(n));
        current = target.front() == '/' ? target : folderOf(current) + "/" + target;
    }
    return {};
}

bool writeAll(int fd, std::string_view bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n > 0)
            done += static_cast<std::size_t>(n);
        else if (n < 0 && errno == EINTR)
            continue;
        else
            return false;
    }
    return true;
}

// A new file beside target, hidden and named after it; never through a planted name.
int createTemporary(const std::string& target, mode_t mode, std::string& tempPath)
{
    static std::atomic<unsigned> counter{0};
    const std::string stem =
        folderOf(target) + "/." + baseNameOf(target) + ".tmp-" + std::to_string(::getpid()) + "-";
    for (int attempt = 0; attempt < 100; ++attempt) {
        tempPath = stem + std::to_string(counter++);
        const int fd = ::open(tempPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
        // Held until the descriptor closes: marks the temporary as in use
        // for removeStaleTemporaries, whatever becomes of our process ID.
        if (fd >= 0)
            ::flock(fd, LOCK_EX | LOCK_NB);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}

void syncFolder(const std::string& folder)
{
    // Makes the rename durable; the data is already safe, so failure is not reported.
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

// As root, the owner of the nearest existing folder at or above folder when
// that is another user: whom what we create there should belong to, with the
// folder's group, or that user's own where the folder's is root's.
bool foreignOwner(const std::string& folder, uid_t& uid, gid_t& gid)
{
    if (::geteuid() != 0)
        return false;
    std::string current = folder;
    for (;;) {
        struct stat st {};
        if (::stat(current.c_str(), &st) == 0) {
            uid = st.st_uid;
            gid = st.st_gid;
            if (gid == 0) {
                passwd entry {};
                passwd* found = nullptr;
                char buffer[4096];
                if (::getpwuid_r(uid, &entry, buffer, sizeof buffer, &found) == 0 && found)
                    gid = found->pw_gid;
            }
            return uid != 0;
        }
        if (current == "/" || current == ".")
            return false;
        current = folderOf(current);
    }
}

// A file or folder just made in folder goes to that folder's owner (see foreignOwner).
void giveToFolderOwner(int fd, const std::string& folder)
{
    uid_t uid = 0;
    gid_t gid = 0;
    if (foreignOwner(folder, uid, gid) && ::fchown(fd, uid, gid) != 0) {
        // Left to root: the user's next run then says what is in its way.
    }
}

LockState refusedKind(mode_t mode)
{
    if (S_ISDIR(mode))
        return LockState::Folder;
    return S_ISLNK(mode) ? LockState::Link : LockState::Special;
}

std::mutex g_observerMutex;
std::function<void()> g_lockWaitObserver;

} // namespace

FileKind fileKind(const std::string& path)
{
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0)
        return errno == EACCES ? FileKind::Unreachable : FileKind::Missing;
    if (S_ISLNK(st.st_mode) && ::stat(path.c_str(), &st) != 0)
        return errno == EACCES ? FileKind::Unreachable : FileKind::DanglingLink;
    if (S_ISREG(st.st_mode))
        return FileKind::Regular;
    return S_ISDIR(st.st_mode) ? FileKind::Folder : FileKind::Special;
}

ReadEnd readToEnd(int fd, std::string& bytes, std::size_t limit)
{
    bytes.clear();
    char buf[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n == 0)
            return ReadEnd::Ok;
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 || bytes.size() + static_cast<std::size_t>(n) > limit) {
            bytes.clear();
            return n < 0 ? ReadEnd::Failed : ReadEnd::TooLarge;
        }
        bytes.append(buf, static_cast<std::size_t>(n));
    }
}

bool readRegularFile(const std::string& path, std::string& bytes)
{
    if (path.empty())
        return false;
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st {};
    std::string data;
    const bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && readToEnd(fd, data) == ReadEnd::Ok;
    ::close(fd);
    if (ok)
        bytes = std::move(data);
    return ok;
}

bool replaceFile(const std::string& path, std::string_view bytes, bool durable)
{
    if (path.empty())
        return false;
    std::string target = path;
    struct stat st {};
    bool exists = false;
    if (::lstat(path.c_str(), &st) == 0) {
        if (S_ISLNK(st.st_mode)) {
            // A link we may not follow is replaced by the file itself.
            const std::string followed = safeLinkTarget(path);
            if (!followed.empty())
                target = followed;
            exists = !followed.empty() && ::stat(target.c_str(), &st) == 0;
        } else if (!S_ISREG(st.st_mode)) {
            return false;
        } else {
            exists = true;
        }
    } else if (errno != ENOENT) {
        return false;
    }
    if (exists && ((st.st_mode & 0222) == 0 || ::access(target.c_str(), W_OK) != 0))
        return false;

    std::string tempPath;
    // Private until the old file's owner and mode are on it; then the data goes in.
    const int fd = createTemporary(target, exists ? 0600 : 0666, tempPath);
    if (fd < 0)
        return false;
    bool ok = true;
    if (exists) {
        if ((st.st_uid != ::geteuid() || st.st_gid != ::getegid())
            && ::fchown(fd, st.st_uid, st.st_gid) != 0 && ::fchown(fd, static_cast<uid_t>(-1), st.st_gid) != 0) {
            // Not ours to give away: the new file stays ours, with the old mode.
        }
        ok = ::fchmod(fd, st.st_mode & 07777) == 0;
    } else {
        giveToFolderOwner(fd, folderOf(target));
    }
    ok = ok && writeAll(fd, bytes) && (!durable || ::fsync(fd) == 0);
    if (::close(fd) != 0)
        ok = false;
    ok = ok && ::rename(tempPath.c_str(), target.c_str()) == 0;
    if (!ok) {
        const int saved = errno;
        ::unlink(tempPath.c_str());
        errno = saved;
        return false;
    }
    if (durable)
        syncFolder(folderOf(target));
    return true;
}

bool makeFolders(const std::string& folder)
{
    std::size_t pos = 0;
    while (pos != std::string::npos) {
        pos = folder.find('/', pos + 1);
        const std::string partial = folder.substr(0, pos);
        struct stat st {};
        if (partial.empty() || ::lstat(partial.c_str(), &st) == 0)
            continue;
        if (::mkdir(partial.c_str(), 0700) != 0)
            continue;
        const int fd = ::open(partial.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd >= 0) {
            giveToFolderOwner(fd, folderOf(partial));
            ::close(fd);
        }
    }
    struct stat st {};
    return ::stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

NewFile writeNewFile(const std::string& path, std::string_view bytes)
{
    if (path.empty())
        return NewFile::Failed;
    std::string tempPath;
    const int fd = createTemporary(path, 0666, tempPath);
    if (fd < 0)
        return NewFile::Failed;
    giveToFolderOwner(fd, folderOf(path));
    bool ok = writeAll(fd, bytes) && ::fsync(fd) == 0;
    if (::close(fd) != 0)
        ok = false;
    const bool linked = ok && ::link(tempPath.c_str(), path.c_str()) == 0;
    const int linkError = errno;
    ::unlink(tempPath.c_str());
    if (!linked)
        return ok && linkError == EEXIST ? NewFile::Exists : NewFile::Failed;
    syncFolder(folderOf(path));
    return NewFile::Written;
}

std::string fileNamePart(std::string_view name)
{
    std::string out(name);
    for (char& c : out) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.'
                           || c == '-' || c == '_';
        if (!plain)
            c = '_';
    }
    return out;
}

int removeStaleTemporaries(const std::string& folder, const std::string& namePrefix)
{
    const std::string prefix = "." + namePrefix;
    DIR* dir = ::opendir(folder.c_str());
    if (!dir)
        return 0;
    int removed = 0;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        const std::size_t mark = name.rfind(".tmp-");
        if (name.compare(0, prefix.size(), prefix) != 0 || mark == std::string::npos || mark < prefix.size())
            continue;
        const std::size_t first = mark + 5;
        const std::string digits = name.substr(first, name.find('-', first) - first);
        if (digits.empty() || digits.size() > 9 || digits.find_first_not_of("0123456789") != std::string::npos)
            continue;
        const pid_t pid = static_cast<pid_t>(std::stol(digits));
        // EPERM: it runs, as another user.
        if (pid > 0 && (::kill(pid, 0) == 0 || errno == EPERM))
            continue;
        const std::string path = folder + "/" + name;
        const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (fd < 0)
            continue;
        struct stat st {};
        if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ::flock(fd, LOCK_EX | LOCK_NB) == 0
            && ::unlink(path.c_str()) == 0)
            ++removed;
        ::close(fd);
    }
    ::closedir(dir);
    return removed;
}

std::string lockStateText(LockState state)
{
    switch (state) {
    case LockState::Held:
    case LockState::Unlocked:
        break;
    case LockState::Folder:
        return "is a folder, not a lock file";
    case LockState::Link:
        return "is a symbolic link, which a lock never follows";
    case LockState::Special:
        return "is a pipe, socket or device, not a lock file";
    case LockState::NoAccess:
        return "may not be opened by this user (left by another user, such as a run with sudo)";
    case LockState::Linked:
        return "has other names (hard links): it is another file, not a lock file";
    }
    return {};
}

int openLockFile(const std::string& lockFile, bool create, unsigned createMode, LockState& state)
{
    state = LockState::Unlocked;
    if (lockFile.empty())
        return -1;
    // Looked at before opening: a FIFO or device must not be opened at all.
    struct stat st {};
    const bool existed = ::lstat(lockFile.c_str(), &st) == 0;
    if (existed && !S_ISREG(st.st_mode)) {
        state = refusedKind(st.st_mode);
        return -1;
    }
    const int flags = O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    // An existing file is opened without O_CREAT: in a shared sticky folder
    // (/run/lock) the kernel refuses O_CREAT on another user's file.
    int fd = ::open(lockFile.c_str(), O_RDWR | (create && !existed ? O_CREAT : 0) | flags, createMode);
    if (fd < 0 && errno == EACCES && create && !existed)
        fd = ::open(lockFile.c_str(), O_RDWR | flags);
    // One we may only read (left by root, or on a read-only disk) locks as well.
    if (fd < 0 && (errno == EACCES || errno == EROFS))
        fd = ::open(lockFile.c_str(), O_RDONLY | flags);
    if (fd < 0) {
        const int error = errno;
        if (error == ELOOP || error == EISDIR)
            state = error == ELOOP ? LockState::Link : LockState::Folder;
        else if (::lstat(lockFile.c_str(), &st) == 0)
            state = S_ISREG(st.st_mode) ? LockState::NoAccess : refusedKind(st.st_mode);
        errno = error;
        return -1;
    }
    // Swapped for something else since the look above.
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        state = refusedKind(st.st_mode);
        ::close(fd);
        return -1;
    }
    // A lock file is written: one with another name is someone's file, which
    // the lock's record would overwrite.
    if (st.st_nlink != 1) {
        state = LockState::Linked;
        ::close(fd);
        return -1;
    }
    if (!existed && create) {
        if (st.st_uid == ::geteuid() && (st.st_mode & 07777) != createMode)
            static_cast<void>(::fchmod(fd, createMode));
        giveToFolderOwner(fd, folderOf(lockFile));
    }
    return fd;
}

FileLock::FileLock(const std::string& lockFile, bool create)
{
    fd_ = openLockFile(lockFile, create, 0600, state_);
    if (fd_ < 0)
        return;
    if (::flock(fd_, LOCK_EX | LOCK_NB) == 0) {
        state_ = LockState::Held;
        return;
    }
    if (errno == EWOULDBLOCK) {
        std::function<void()> observer;
        {
            std::lock_guard lock(g_observerMutex);
            observer = g_lockWaitObserver;
        }
        if (observer)
            observer();
        int r;
        while ((r = ::flock(fd_, LOCK_EX)) != 0 && errno == EINTR) {
        }
        if (r == 0) {
            state_ = LockState::Held;
            return;
        }
    }
    ::close(fd_);
    fd_ = -1;
}

FileLock::~FileLock()
{
    if (fd_ >= 0)
        ::close(fd_);   // closing the last descriptor releases the lock
}

FileLock::FileLock(FileLock&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), state_(std::exchange(other.state_, LockState::Unlocked))
{
}

void setLockWaitObserver(std::function<void()> observer)
{
    std::lock_guard lock(g_observerMutex);
    g_lockWaitObserver = std::move(observer);
}

} // namespace vardo::platform
