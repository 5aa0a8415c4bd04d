#include "index/mapping.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "util/text.hpp"

namespace tarnwik {

Result<std::shared_ptr<const Mapping>> Mapping::map_file(const std::string& path) {
    auto cannot_open = [&](int err) {
        return fail("cannot open " + text::debug_quote(path), std::strerror(err));
    };
    // A NUL inside the path would silently open a different (shorter) path.
    if (path.find('\0') != std::string::npos) return cannot_open(EINVAL);

    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return cannot_open(errno);
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        const int err = errno;
        ::close(fd);
        return cannot_open(err);
    }
    if (S_ISDIR(st.st_mode)) {
        ::close(fd);
        return cannot_open(EISDIR);
    }
    const size_t size = static_cast<size_t>(st.st_size);
    void* addr = nullptr;
    if (size > 0) {
        addr = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
        if (addr == MAP_FAILED) {
            const int err = errno;
            ::close(fd);
            return fail(std::string(std::strerror(err)) + " (os error " + std::to_string(err) + ")");
        }
    }
    ::close(fd);
    return std::shared_ptr<const Mapping>(new Mapping(addr, size));
}

Mapping::~Mapping() {
    if (addr_ && size_) ::munmap(addr_, size_);
}

}  // namespace tarnwik
