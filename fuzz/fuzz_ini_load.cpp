// Feeds arbitrary bytes to CIniFile::Load as a file. Besides not crashing, every
// load must either raise the format error or give records that are written and
// read back unchanged, with the second writing identical to the first.
#include "memory_file.h"
#include "config/inifile.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include <sys/mman.h>
#include <unistd.h>

using vardo::config::CIniFile;
using vardo::config::Record;

namespace {

using vardo::fuzz::MemoryFile;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const MemoryFile file;
    file.fill(std::string_view(reinterpret_cast<const char*>(data), size));
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    std::vector<Record> records;
    try {
        if (!CIniFile::Load(file.path, records))
            std::abort();
    } catch (const std::out_of_range&) {
        // The in-memory parse must reject the same text.
        std::vector<Record> unused;
        try {
            vardo::config::parseIniText(text, unused);
        } catch (const std::out_of_range&) {
            return 0;
        }
        std::abort();
    }

    std::vector<Record> direct;
    vardo::config::parseIniText(text, direct);
    if (direct != records)
        std::abort();

    const std::string written = vardo::config::formatIniText(records);
    std::vector<Record> reread;
    vardo::config::parseIniText(written, reread);  // a written file never holds a format error
    if (reread != records || vardo::config::formatIniText(reread) != written)
        std::abort();
    return 0;
}
