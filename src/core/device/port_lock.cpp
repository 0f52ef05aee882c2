#include "device/port_lock.h"

#include "device/encoder.h"

#include <cstdlib>
#include <mutex>
#include <utility>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vardo::device {

namespace {

std::mutex g_mutex;
std::optional<std::string> g_folderOverride;

bool writableFolder(const std::string& folder)
{
    return !folder.empty() && folder.front() == '/' && ::access(folder.c_str(), W_OK | X_OK) == 0;
}

// "PID COMMAND LINE": what a refused process shows of us.
std::string holderRecord()
{
    std::string command;
    if (!platform::readRegularFile("/proc/self/cmdline", command))
        command.clear();
    for (char& c : command)
        if (c == '\0')
            c = ' ';
    while (!command.empty() && command.back() == ' ')
        command.pop_back();
    return std::to_string(::getpid()) + " " + command.substr(0, 400) + "\n";
}

// The holder's record as its file gives it. Anyone may write the file, so
// what it holds is shown with control bytes replaced and cut short.
PortLockHolder readHolder(int fd)
{
    PortLockHolder holder;
    char buffer[512];
    const ssize_t n = ::pread(fd, buffer, sizeof buffer, 0);
    if (n <= 0)
        return holder;
    const std::string text(buffer, static_cast<std::size_t>(n));
    std::size_t at = 0;
    long pid = 0;
    while (at < text.size() && at < 10 && text[at] >= '0' && text[at] <= '9')
        pid = pid * 10 + (text[at++] - '0');
    if (at == 0 || at >= text.size() || text[at] != ' ')
        return holder;
    holder.pid = pid;
    for (char c : text.substr(at + 1, text.find('\n', at + 1) - at - 1).substr(0, 200))
        holder.command.push_back(static_cast<unsigned char>(c) < 0x20 || c == 0x7F ? '?' : c);
    return holder;
}

// Why no lock file can be made in folder; error: the errno of the attempt.
std::string whyNotMade(const std::string& folder, int error)
{
    struct stat st {};
    if (::stat(folder.c_str(), &st) != 0)
        return folder + ": " + std::strerror(errno);
    if (!S_ISDIR(st.st_mode))
        return folder + " is not a folder";
    if (::access(folder.c_str(), W_OK | X_OK) != 0)
        return "this user may not write in " + folder;
    return std::strerror(error);
}

} // namespace

std::string portLockFolder()
{
    {
        std::lock_guard lock(g_mutex);
        if (g_folderOverride)
            return *g_folderOverride;
    }
    if (writableFolder("/run/lock"))
        return "/run/lock";
    // Then visible to this user's processes only, which is the best left.
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && writableFolder(runtime)) {
        std::string folder = runtime;
        while (folder.size() > 1 && folder.back() == '/')
            folder.pop_back();
        return folder;
    }
    return "/tmp";
}

void setPortLockFolderOverride(std::optional<std::string> folder)
{
    std::lock_guard lock(g_mutex);
    g_folderOverride = std::move(folder);
}

PortLock::PortLock(const std::string& port, const std::string& path) : name_(port.empty() ? path : port), byPort_(!port.empty())
{
    const std::string folder = portLockFolder();
    if (name_.empty() || folder.empty())
        return;
    file_ = folder + "/vardo-encoder-" + platform::fileNamePart(name_) + ".lock";
    fd_ = platform::openLockFile(file_, true, 0666, fileState_);
    if (fd_ < 0) {
        // A lock file that cannot be made locks nothing: going on would let
        // another process work on the same encoder.
        if (fileState_ == platform::LockState::Unlocked)
            cannotMake_ = whyNotMade(folder, errno);
        state_ = PortLockState::OddFile;
        return;
    }
    if (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
        state_ = PortLockState::Busy;
        holder_ = readHolder(fd_);
        release();
        return;
    }
    state_ = PortLockState::Held;
    fileState_ = platform::LockState::Held;
    // A read-only descriptor (a file left 0644 by another user) locks all the
    // same; it just cannot say who we are.
    const std::string record = holderRecord();
    if (::ftruncate(fd_, 0) == 0 && ::pwrite(fd_, record.data(), record.size(), 0) < 0) {
        // Refused processes are then told of "another process" without its name.
    }
}

PortLock PortLock::forEncoder(Encoder* encoder)
{
    if (!encoder)
        return {};
    const AttachedEncoder where = encoder->identity();
    return PortLock(where.port, where.path);
}

std::optional<PortLock> lockForOperation(Encoder* encoder, const std::function<void(const std::string&)>& refused)
{
    PortLock lock = PortLock::forEncoder(encoder);
    if (lock.mayGoOn())
        return lock;
    refused(lock.problem());
    return std::nullopt;
}

PortLock::~PortLock() { release(); }

PortLock::PortLock(PortLock&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), state_(std::exchange(other.state_, PortLockState::Free)),
      fileState_(other.fileState_), name_(std::move(other.name_)), byPort_(other.byPort_), file_(std::move(other.file_)),
      cannotMake_(std::move(other.cannotMake_)), holder_(std::move(other.holder_))
{
}

PortLock& PortLock::operator=(PortLock&& other) noexcept
{
    if (this != &other) {
        release();
        fd_ = std::exchange(other.fd_, -1);
        state_ = std::exchange(other.state_, PortLockState::Free);
        fileState_ = other.fileState_;
        name_ = std::move(other.name_);
        byPort_ = other.byPort_;
        file_ = std::move(other.file_);
        cannotMake_ = std::move(other.cannotMake_);
        holder_ = std::move(other.holder_);
    }
    return *this;
}

void PortLock::release()
{
    if (fd_ < 0)
        return;
    // Our record goes with the lock, so no later refusal names us; a file that
    // has meanwhile been given another name is left alone.
    struct stat st {};
    if (state_ == PortLockState::Held && ::fstat(fd_, &st) == 0 && st.st_nlink == 1 && ::ftruncate(fd_, 0) != 0) {
        // A read-only descriptor: nothing of ours was written.
    }
    ::close(fd_);
    fd_ = -1;
}

std::string PortLock::problem() const
{
    const std::string encoderAt = "encoder at " + std::string(byPort_ ? "port " : "") + name_;
    if (state_ == PortLockState::OddFile && !cannotMake_.empty())
        return "Cannot lock the " + encoderAt + ": " + file_ + " cannot be made (" + cannotMake_ + ").";
    if (state_ == PortLockState::OddFile)
        return "Cannot lock the " + encoderAt + ": " + file_ + " " + platform::lockStateText(fileState_)
               + ". Remove it and try again.";
    if (state_ != PortLockState::Busy)
        return {};
    std::string who = "another process";
    if (holder_.pid == static_cast<long>(::getpid()))
        who = "another operation of this program";
    else if (holder_.pid > 0)
        who += " (PID " + std::to_string(holder_.pid) + ": " + holder_.command + ")";
    return "The " + encoderAt + " is in use by " + who + ". Try again when it has finished.";
}

} // namespace vardo::device
