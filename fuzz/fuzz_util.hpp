// Helpers shared by the fuzz targets.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace tarnwik::fuzz {

// A file that lives in memory for the whole run and can be opened by path:
// each input is written over it, so the opener sees exactly the input bytes
// through its own open and mmap, and nothing ever touches the disk.
class MemFile {
public:
    explicit MemFile(const char* name) {
        fd_ = ::memfd_create(name, MFD_CLOEXEC);
        if (fd_ < 0) die("memfd_create");
        path_ = "/proc/self/fd/" + std::to_string(fd_);
    }
    ~MemFile() { ::close(fd_); }
    MemFile(const MemFile&) = delete;
    MemFile& operator=(const MemFile&) = delete;

    void write(const uint8_t* data, size_t size) {
        if (::ftruncate(fd_, 0) != 0) die("ftruncate");
        size_t done = 0;
        while (done < size) {
            const ssize_t n = ::pwrite(fd_, data + done, size - done, static_cast<off_t>(done));
            if (n <= 0) die("pwrite");
            done += static_cast<size_t>(n);
        }
    }
    void write(std::string_view bytes) { write(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()); }

    const std::string& path() const { return path_; }

private:
    [[noreturn]] static void die(const char* what) {
        std::perror(what);
        std::abort();
    }

    int fd_ = -1;
    std::string path_;
};

// A finding that no sanitizer would report: a broken promise of the code
// under test. Aborting makes libFuzzer keep the input as a crash.
[[noreturn]] inline void violated(const std::string& what) {
    std::fprintf(stderr, "fuzz invariant violated: %s\n", what.c_str());
    std::abort();
}

// The message is built only when the check fails.
#define TW_FUZZ_CHECK(cond, message)                                  \
    do {                                                              \
        if (!(cond)) ::tarnwik::fuzz::violated(std::string(message)); \
    } while (0)

}  // namespace tarnwik::fuzz
