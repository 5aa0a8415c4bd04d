#include "build/sheet_file.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "index/index.hpp"
#include "util/text.hpp"

namespace tarnwik::build {
namespace {

std::string temp_path_for(const std::string& path) {
    size_t slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    return dir + "." + base + ".tmp-" + std::to_string(::getpid());
}

Result<void> write_all(const std::string& path, const std::string& bytes) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) return fail("cannot create " + text::debug_quote(path) + ": " + std::strerror(errno));
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t w = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (w < 0) {
            if (errno == EINTR) continue;
            int e = errno;
            ::close(fd);
            return fail("cannot write " + text::debug_quote(path) + ": " + std::strerror(e));
        }
        done += static_cast<size_t>(w);
    }
    if (::fsync(fd) != 0 || ::close(fd) != 0)
        return fail("cannot write " + text::debug_quote(path) + ": " + std::strerror(errno));
    return {};
}

void replace_all(std::string& s, const std::string& from, const std::string& to) {
    for (size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size()))
        s.replace(at, from.size(), to);
}

}  // namespace

Result<WrittenSheet> write_sheet_file(const std::string& path, const SheetSpec& spec, bool verify) {
    WrittenSheet out;
    auto bytes = write_sheet(spec, &out.stats);
    if (!bytes) return std::unexpected(bytes.error());
    out.bytes = bytes->size();

    const std::string tmp = temp_path_for(path);
    ::unlink(tmp.c_str());  // left over by a build of the same pid that was killed
    if (auto w = write_all(tmp, *bytes); !w) {
        ::unlink(tmp.c_str());
        return std::unexpected(w.error());
    }
    std::string().swap(*bytes);

    if (verify) {
        auto opened = Index::open(tmp);
        if (!opened) {
            ::unlink(tmp.c_str());
            Error e = opened.error();
            replace_all(e.message, text::debug_quote(tmp), text::debug_quote(path));
            return std::unexpected(std::move(e));
        }
    }
    if (::rename(tmp.c_str(), path.c_str()) != 0) {
        int e = errno;
        ::unlink(tmp.c_str());
        return fail("cannot rename the written sheet to " + text::debug_quote(path) + ": " + std::strerror(e));
    }
    return out;
}

}  // namespace tarnwik::build
