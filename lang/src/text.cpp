#include "zenta/lang/text.hpp"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zenta::lang {

std::optional<std::string> latin1FromUtf8(std::string_view argument, std::string *why)
{
    std::string out;
    for (std::size_t i = 0; i < argument.size();) {
        const unsigned char lead = static_cast<unsigned char>(argument[i]);
        const std::size_t length = lead < 0x80 ? 1 : (lead >> 5) == 6 ? 2 : (lead >> 4) == 14 ? 3 : (lead >> 3) == 30 ? 4 : 0;
        char32_t code = length == 1 ? lead : length == 2 ? lead & 0x1F : length == 3 ? lead & 0x0F : lead & 0x07;
        bool valid = length != 0 && i + length <= argument.size();
        for (std::size_t k = 1; valid && k < length; ++k) {
            const unsigned char next = static_cast<unsigned char>(argument[i + k]);
            valid = (next & 0xC0) == 0x80;
            code = code << 6 | (next & 0x3F);
        }
        // Overlong forms and surrogates are not UTF-8 either.
        static constexpr char32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
        if (!valid || code < kLeast[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
            if (why)
                *why = "bytes that are not UTF-8 text";
            return std::nullopt;
        }
        if (code > 0xFF) {
            if (why) {
                char hex[16];
                std::snprintf(hex, sizeof hex, "U+%04X", static_cast<unsigned>(code));
                *why = "the character \"" + std::string(argument.substr(i, length)) + "\" (" + hex +
                       "), which is not a Latin-1 character";
            }
            return std::nullopt;
        }
        out += char(code);
        i += length;
    }
    return out;
}


bool LineReader::next(std::string_view &line)
{
    const std::size_t n = bytes_.size();
    if (at_ >= n)
        return false;
    std::size_t end = at_;
    while (end < n && bytes_[end] != '\r' && bytes_[end] != '\n')
        ++end;
    line = bytes_.substr(at_, end - at_);
    at_ = end + 1;
    if (end < n && bytes_[end] == '\r' && at_ < n && bytes_[at_] == '\n')
        ++at_;
    return true;
}

std::vector<std::string> splitLines(std::string_view bytes)
{
    std::vector<std::string> lines;
    LineReader reader(bytes);
    for (std::string_view line; reader.next(line);)
        lines.emplace_back(line);
    return lines;
}

std::string joinLines(const std::vector<std::string> &lines)
{
    std::size_t size = 0;
    for (const auto &l : lines)
        size += l.size() + 2;
    std::string out;
    out.reserve(size);
    for (const auto &l : lines) {
        out += l;
        out += "\r\n";
    }
    return out;
}

namespace {

std::string reason(const std::string &what, int error)
{
    return what + ": " + std::strerror(error);
}

std::string folderOf(const std::string &path)
{
    const auto slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// The file a chain of links ends at; the path itself when it is no link.
std::string followLinks(std::string path)
{
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st {};
        if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
            return path;
        std::string target(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : 4096) + 1, '\0');
        const ssize_t got = readlink(path.c_str(), target.data(), target.size());
        if (got <= 0 || static_cast<std::size_t>(got) >= target.size())
            return path;
        target.resize(static_cast<std::size_t>(got));
        path = target.front() == '/' ? target : folderOf(path) + "/" + target;
    }
    return path;
}

}  // namespace

namespace {

// "<name>.<pid>-<count>.part" -> pid; 0 when `entry` is no new file of `name`.
pid_t partWriter(std::string_view entry, std::string_view name)
{
    constexpr std::string_view kSuffix = ".part";
    if (entry.size() <= name.size() + 1 + kSuffix.size() || entry.substr(0, name.size()) != name ||
        entry[name.size()] != '.' || entry.substr(entry.size() - kSuffix.size()) != kSuffix)
        return 0;
    const std::string_view middle = entry.substr(name.size() + 1, entry.size() - name.size() - 1 - kSuffix.size());
    const auto dash = middle.find('-');
    if (dash == 0 || dash == std::string_view::npos || dash + 1 == middle.size() || dash > 9)
        return 0;
    pid_t pid = 0;
    for (std::size_t k = 0; k < middle.size(); ++k) {
        const char c = middle[k];
        if (k == dash)
            continue;
        if (c < '0' || c > '9')
            return 0;
        if (k < dash)
            pid = pid * 10 + (c - '0');
    }
    return pid;
}

}  // namespace

int removeStaleParts(const std::string &path)
{
    const std::string target = followLinks(path);
    const auto slash = target.rfind('/');
    const std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
    const std::string folder = folderOf(target);
    DIR *dir = opendir(folder.c_str());
    if (!dir)
        return 0;
    int removed = 0;
    while (const dirent *e = readdir(dir)) {
        const pid_t pid = partWriter(e->d_name, name);
        // A writer that still lives may be renaming its file this very moment.
        if (pid <= 0 || pid == getpid() || kill(pid, 0) == 0 || errno != ESRCH)
            continue;
        if (unlinkat(dirfd(dir), e->d_name, 0) == 0)
            ++removed;
    }
    closedir(dir);
    return removed;
}

std::string replaceFile(const std::string &path, std::string_view bytes, std::string *warning)
{
    if (warning)
        warning->clear();
    if (path.empty())
        return "no file name";
    const std::string target = followLinks(path);
    struct stat old {};
    const bool existed = stat(target.c_str(), &old) == 0;
    if (existed && !S_ISREG(old.st_mode))
        return target + " is not a plain file";

    // A name of its own per writer, so two writers never share a new file.
    static std::atomic<unsigned> counter{0};
    std::string temp;
    int fd = -1;
    for (int attempt = 0; attempt < 16 && fd < 0; ++attempt) {
        temp = target + "." + std::to_string(getpid()) + "-" + std::to_string(++counter) + ".part";
        fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
        if (fd < 0 && errno != EEXIST)
            return reason("cannot create " + temp, errno);
    }
    if (fd < 0)
        return "cannot create a new file beside " + target;

    auto fail = [&](const std::string &what, int error) {
        if (fd >= 0)
            close(fd);
        unlink(temp.c_str());
        return reason(what, error);
    };
    if (existed && fchmod(fd, old.st_mode & 07777) != 0)
        return fail("cannot give " + temp + " the old file's permissions", errno);
    for (std::size_t done = 0; done < bytes.size();) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return fail("cannot write " + temp, n < 0 ? errno : ENOSPC);
        done += static_cast<std::size_t>(n);
    }
    if (fsync(fd) != 0)
        return fail("cannot flush " + temp + " to the disk", errno);
    const int closed = close(fd);
    fd = -1;
    if (closed != 0)
        return fail("cannot close " + temp, errno);
    if (rename(temp.c_str(), target.c_str()) != 0)
        return fail("cannot rename " + temp + " to " + target, errno);

    // The rename lives in the folder: until the folder is flushed a crash may
    // bring back the old file. The new content is in place all the same, so
    // this is a warning, not a failure: the caller must not report the old
    // content as kept.
    const std::string folder = folderOf(target);
    const int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    std::string note;
    if (dir < 0) {
        note = reason("the file was replaced, but its folder " + folder + " cannot be opened to flush it", errno);
    } else {
        const int synced = fsync(dir);
        const int error = errno;
        close(dir);
        // Some file systems cannot flush a folder at all; there is nothing to wait for.
        if (synced != 0 && error != EINVAL && error != EROFS)
            note = reason("the file was replaced, but its folder " + folder + " cannot be flushed to the disk",
                          error);
    }
    if (warning)
        *warning = std::move(note);
    return {};
}

}  // namespace zenta::lang
