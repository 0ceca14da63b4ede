#include "zenta/lang/text.hpp"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zenta::lang {

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

std::string replaceFile(const std::string &path, std::string_view bytes)
{
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
    // bring back the old file, or none.
    const std::string folder = folderOf(target);
    const int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0)
        return reason("the file was replaced, but its folder " + folder + " cannot be opened to flush it", errno);
    const int synced = fsync(dir);
    const int error = errno;
    close(dir);
    // Some file systems cannot flush a folder at all; there is nothing to wait for.
    if (synced != 0 && error != EINVAL && error != EROFS)
        return reason("the file was replaced, but its folder " + folder + " cannot be flushed to the disk", error);
    return {};
}

}  // namespace zenta::lang
