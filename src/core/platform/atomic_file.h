#pragma once
// Whole-file reads and replacements for the utility's small files, and an
// advisory lock for changes made in several steps. Qt-free.
//
// A read never blocks: a pipe or device is refused before anything is read.
// A replacement never leaves a half-written file and never writes through a
// symbolic link that someone else could have planted.
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace vardo::platform {

// What stands at a path, looked at without opening it.
enum class FileKind {
    Regular,       // a regular file, directly or through symbolic links
    Missing,       // nothing of that name
    Folder,
    DanglingLink,  // a symbolic link whose target does not exist
    Special,       // a pipe, socket or device
    Unreachable,   // a folder on the way may not be searched
};
FileKind fileKind(const std::string& path);

// Reads an open descriptor to its end into bytes (cleared first); on a read
// error or when more than limit bytes come, bytes is cleared again.
enum class ReadEnd { Ok, Failed, TooLarge };
ReadEnd readToEnd(int fd, std::string& bytes, std::size_t limit = static_cast<std::size_t>(-1));

// Reads the whole of a regular file into bytes. False, bytes untouched, when
// path is empty, missing, unreadable or not a regular file. The file is opened
// non-blocking and its type checked first, so a FIFO never stalls the caller.
bool readRegularFile(const std::string& path, std::string& bytes);

// Replaces the file at path with bytes: they go to a temporary file beside it
// (its owner, group and mode set before the data goes in), which is synced and
// renamed over the name; the folder is synced too. A reader sees the old or the
// new file, never a mix; on failure the old file is intact and no temporary is
// left. A missing file is created (mode 0666 less the umask).
//
// Symbolic links: followed only when every link on the way is ours and sits in
// a folder that only we (or root) may write, and the final file is ours in such
// a folder. Any other link is replaced itself, so its target is never touched.
//
// False, nothing written, for an empty path, a target that is not a regular
// file (folder, pipe, device), an existing file without write permission bits
// or not writable by us, or a folder we may not write.
// durable false: no fsync of the file and its folder. The replacement stays
// whole or absent when the program is killed, not when the machine loses power
// (for a record rewritten many times a second, like the demo's encoders).
bool replaceFile(const std::string& path, std::string_view bytes, bool durable = true);

// Makes folder and every missing parent (0700). As root, each new folder is
// given to the owner of the nearest folder above that exists, when that is
// another user (a run with `sudo -E` inside their home), so that no root-owned
// folder is left where that user must write. False when folder is not there
// (as a folder) afterwards.
bool makeFolders(const std::string& folder);

// Writes bytes into a new file at path, never replacing what is there: the
// name is taken with link(), so of two writers only one gets it. The file is
// whole (synced) before it gets the name.
enum class NewFile { Written, Exists, Failed };
NewFile writeNewFile(const std::string& path, std::string_view bytes);

// name as part of a file name: anything but letters, digits, '.', '-' and
// '_' (a slash above all) becomes '_'.
std::string fileNamePart(std::string_view name);

// Removes from folder the temporary files that replaceFile and writeNewFile
// runs killed half way left there (".<namePrefix>....tmp-<pid>-<n>"). One
// is stale when the process named in it no longer runs and nobody holds its
// flock (a writer holds one until its rename), so another process's write in
// progress is never touched. Returns how many were removed.
int removeStaleTemporaries(const std::string& folder, const std::string& namePrefix);

// How a FileLock ended up.
enum class LockState {
    Held,      // locked
    Unlocked,  // no lock file and none may be made (a reader, or a folder we may not
               // write, where no change can be made anyway): nothing to lock against
    Folder,    // refused: the lock file is a folder,
    Link,      // a symbolic link,
    Special,   // or a pipe, socket or device; it is never opened blocking
    NoAccess,  // refused: the lock file may not be opened, not even for reading
    Linked,    // refused: a file with other names (hard links), which is no lock file
};

// What is wrong with a lock file in state, as a message goes on after its
// name ("is a folder, not a lock file"); "" for Held and Unlocked.
std::string lockStateText(LockState state);

// Opens lockFile for flock without blocking and without following a link:
// read-write when allowed, else read-only (flock needs no write access).
// With create, a missing file is made with exactly createMode (the umask does
// not apply), and as root given to the owner of its folder, as makeFolders
// does. -1 with state saying why when it is not a regular file of one name
// or may not be opened; state Unlocked when it is missing and cannot be made
// (errno then says why).
int openLockFile(const std::string& lockFile, bool create, unsigned createMode, LockState& state);

// Holds an exclusive flock on lockFile for its lifetime, waiting while another
// holds it. The file is created 0600 when create is true (as root, given to
// the owner of its folder, as makeFolders does); one that may only be read
// still locks. Anything but a regular file is refused (state() says what it
// is): locking would silently do nothing or hang.
class FileLock {
public:
    explicit FileLock(const std::string& lockFile, bool create = true);
    ~FileLock();
    FileLock(FileLock&& other) noexcept;
    FileLock& operator=(FileLock&&) = delete;
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

    bool held() const { return fd_ >= 0; }
    LockState state() const { return state_; }

private:
    int fd_ = -1;
    LockState state_ = LockState::Unlocked;
};

// Called on the waiting thread just before a FileLock blocks because another
// holder has it; lets tests see the wait without sleeping. Empty: none.
void setLockWaitObserver(std::function<void()> observer);

} // namespace vardo::platform
