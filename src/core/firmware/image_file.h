#pragma once
// Reads an image or loader text once, whole, into memory: the upgrade works
// from that copy, so a pipe or a file changed meanwhile cannot give it other
// bytes later. Never blocks on opening a FIFO. Qt-free.
#include <cstddef>
#include <string>

namespace vardo::firmware {

enum class FileRead {
    Ok,
    CannotOpen,   // missing, unreadable, or a read error
    Folder,       // the path names a folder
    NotAFile,     // a device, socket or terminal
    TooLarge,     // above the limit: no TI-TXT image of a 64 KB address space is that long
};

// Regular files, pipes and FIFOs are read to their end (a FIFO without a
// writer reads as empty). path: 8-bit (locale) path.
// size, when given, receives a regular file's size (0 for anything else).
FileRead readWholeFile(const std::string& path, std::string& text, std::size_t limit = 1u << 22,
                       std::size_t* size = nullptr);

} // namespace vardo::firmware
