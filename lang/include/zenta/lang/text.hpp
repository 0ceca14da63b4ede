// Latin-1 text files: lines end at CR, LF or CR LF when read; CR LF when written.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zenta::lang {

// Walks the lines of a text without copying them, so that a file of blank
// lines costs nothing per line. A final line end does not start another line.
class LineReader {
public:
    explicit LineReader(std::string_view bytes) : bytes_(bytes) {}
    // The next line without its line end; false when none is left.
    bool next(std::string_view &line);

private:
    std::string_view bytes_;
    std::size_t at_ = 0;
};

// UTF-8 text (an argument, as people type it) as the Latin-1 bytes the
// device and the files speak; nothing when it is not UTF-8 or holds a
// character Latin-1 has no code for, with `why` naming it.
std::optional<std::string> latin1FromUtf8(std::string_view text, std::string *why);

// A final line end does not start another line; "" gives no lines.
std::vector<std::string> splitLines(std::string_view bytes);
std::string joinLines(const std::vector<std::string> &lines);  // each line + CR LF

// Replaces the file at `path` (a link is followed to the file it names) with
// `bytes`: written whole to a new file beside it, flushed to the disk, renamed
// over the old one, and the folder flushed, so that neither a failure nor a
// crash of the host leaves a cut file. Returns an empty text on success, else
// why it failed; the old file is then untouched and no new file is left.
// Once the rename is done the file holds the new bytes and that is success,
// even if the folder cannot be flushed: `warning` then says so (a crash
// before the disk catches up may still bring the old file back).
std::string replaceFile(const std::string &path, std::string_view bytes, std::string *warning = nullptr);

// Removes the new files that replaceFile() left beside `path` when the process
// writing them died before its rename; those of living processes stay.
// Returns how many it removed.
int removeStaleParts(const std::string &path);

}  // namespace zenta::lang
