#include "platform/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/file_io.h"
#include "platform/unique_fd.h"

namespace kormlink {

bool writeAll(int fd, std::string_view data) {
    while (!data.empty()) {
        ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

namespace {

std::string folderOf(const std::string& path) {
    auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

}  // namespace

bool replaceFileAtomically(const std::string& path, std::string_view content, std::string* error,
                           bool sync) {
    auto fail = [&](const char* what, const std::string& tmp) {
        if (error) *error = std::string(what) + ": " + std::strerror(errno);
        if (!tmp.empty()) ::unlink(tmp.c_str());
        return false;
    };
    std::string tmp = path + ".new";
    {
        UniqueFd fd(fileio::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
        if (!fd) return fail("cannot create temporary file", "");
        for (std::string_view rest = content; !rest.empty();) {
            const ssize_t n = fileio::write(fd.get(), rest.data(), rest.size());
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) return fail("cannot write temporary file", tmp);
            rest.remove_prefix(static_cast<std::size_t>(n));
        }
        if (sync && fileio::fsync(fd.get()) != 0) return fail("cannot flush temporary file", tmp);
        if (::close(fd.release()) != 0) return fail("cannot write temporary file", tmp);
    }
    if (fileio::rename(tmp.c_str(), path.c_str()) != 0) return fail("cannot rename temporary file", tmp);
    if (!sync) return true;
    // The rename is durable only once the folder is synced; the new content is in place
    // either way, but the caller must not count on it surviving a power loss.
    UniqueFd dir(fileio::open(folderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir || fileio::fsync(dir.get()) != 0) return fail("cannot sync the folder", "");
    return true;
}

std::optional<std::string> readWholeFile(const std::string& path) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return std::nullopt;
    std::string content;
    char buf[8192];
    for (;;) {
        ssize_t n = ::read(fd.get(), buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            return std::nullopt;
        }
        if (n == 0) break;
        content.append(buf, static_cast<size_t>(n));
    }
    return content;
}

std::string joinPath(const std::string& dir, const std::string& name) {
    if (dir.empty() || dir == ".") return name;
    if (dir.back() == '/') return dir + name;
    return dir + "/" + name;
}

}  // namespace kormlink
