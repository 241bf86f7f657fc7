#include "COMMON/BM_OS/bmfile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "COMMON/BM_OS/devicepath.h"
#include "COMMON/BM_UTIL/bmassert.h"

namespace {

constexpr mode_t kNewFileMode = 0666;  // narrowed by the umask, as for any created file

}  // namespace

BmFile::BmFile(BmString path) : path_(path), buffer_(new unsigned char[kFileBufferSize]) {}

BmFile::~BmFile() {
    if (IsOpen()) {
        Flush();
        if (!CloseHandle()) {
            BM_ASSERT_REPORT();
        }
    }
    delete[] buffer_;
}

bool BmFile::IsOpen() const {
    return handle_ >= 0;
}

bool BmFile::CloseHandle() {
    const int fd = handle_;
    handle_ = -1;
    // Closing also releases the lock. EINTR still means the descriptor is gone on Linux.
    return ::close(fd) == 0 || errno == EINTR;
}

bool BmFile::Open(int32_t mode, int32_t shareMode) {
    if (IsOpen()) {
        BM_ASSERT_REPORT();
        Close();
    }
    mode_ = ModeNone;
    int flags = O_CLOEXEC;
    switch (mode) {
        case ModeRead:
            flags |= O_RDONLY;
            break;
        case ModeCreate:
        case ModeAppend:
            // No O_TRUNC here: an open refused by the lock below must not empty another
            // holder's file. Truncation follows once the lock is held.
            flags |= O_WRONLY | O_CREAT;
            break;
        default:
            BM_ASSERT_REPORT();
            return false;
    }
    const std::string name = DeviceFilePath(path_.NarrowText());
    if (name.empty()) {
        return false;
    }
    // O_NONBLOCK only for the open itself: a FIFO planted at a device path would otherwise
    // block the program here for good. Only regular files are ours to read and write.
    const int fd = ::open(name.c_str(), flags | O_NONBLOCK, kNewFileMode);
    if (fd < 0) {
        return false;
    }
    struct stat info {};
    const int lock = shareMode == 0 ? LOCK_EX : LOCK_SH;
    bool ok = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && ::fcntl(fd, F_SETFL, 0) == 0 &&
              ::flock(fd, lock | LOCK_NB) == 0;
    if (ok && mode == ModeCreate) {
        // An empty file is left alone: on ext4 a truncation to zero, even of an empty file, makes
        // the close write the whole new content out at once, which stalls the end of a download.
        ok = ::fstat(fd, &info) == 0 && (info.st_size == 0 || ::ftruncate(fd, 0) == 0);
    }
    if (ok && mode == ModeAppend) {
        ok = ::lseek(fd, 0, SEEK_END) >= 0;
    }
    if (!ok) {
        ::close(fd);
        return false;
    }
    handle_ = fd;
    mode_ = static_cast<FileMode>(mode);
    return true;
}

void BmFile::Close() {
    if (!IsOpen()) {
        return;
    }
    Flush();
    if (!CloseHandle()) {
        BM_ASSERT_REPORT();
    }
}

bool BmFile::WriteAll(const void* source, int32_t count) {
    const unsigned char* from = static_cast<const unsigned char*>(source);
    int32_t left = count;
    while (left > 0) {
        const ssize_t written = ::write(handle_, from, static_cast<size_t>(left));
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        if (written == 0) {
            return false;
        }
        from += written;
        left -= static_cast<int32_t>(written);
    }
    return true;
}

bool BmFile::ReadAll(void* destination, int32_t count) {
    unsigned char* to = static_cast<unsigned char*>(destination);
    int32_t left = count;
    while (left > 0) {
        const ssize_t got = ::read(handle_, to, static_cast<size_t>(left));
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        if (got == 0) {
            return false;  // the file ended first
        }
        to += got;
        left -= static_cast<int32_t>(got);
    }
    return true;
}

bool BmFile::Write(const void* source, int32_t count) {
    if (count < 0 || (count > 0 && !source)) {
        BM_ASSERT_REPORT();
        return false;
    }
    // Bytes accepted here would be dropped unwritten by the next Flush: refuse them instead.
    if (!IsOpen() || (mode_ != ModeCreate && mode_ != ModeAppend)) {
        return false;
    }
    if (filled_ + count >= capacity_) {
        if (!Flush()) {
            return false;
        }
        if (filled_ + count > capacity_) {
            return WriteAll(source, count);
        }
    }
    std::memcpy(buffer_ + filled_, source, static_cast<size_t>(count));
    filled_ += count;
    return true;
}

bool BmFile::Flush() {
    if (filled_ < 1) {
        return true;
    }
    const int32_t waiting = filled_;
    filled_ = 0;
    if (mode_ == ModeCreate || mode_ == ModeAppend) {
        return IsOpen() && WriteAll(buffer_, waiting);
    }
    cursor_ = 0;
    return true;
}

bool BmFile::Read(void* destination, int32_t count) {
    if (!IsOpen() || mode_ != ModeRead) {
        return false;
    }
    if (count < 0 || (count > 0 && !destination)) {
        BM_ASSERT_REPORT();
        return false;
    }
    unsigned char* to = static_cast<unsigned char*>(destination);
    const int32_t buffered = filled_ - cursor_;
    if (buffered > 0) {
        const int32_t take = count < buffered ? count : buffered;
        std::memcpy(to, buffer_ + cursor_, static_cast<size_t>(take));
        cursor_ += take;
        to += take;
        count -= take;
    }
    if (count == 0) {
        return true;
    }
    return ReadAll(to, count);
}

bool BmFile::ReadBuffered(void* destination, int32_t count) {
    if (!IsOpen() || mode_ != ModeRead) {
        return false;
    }
    if (count < 0 || (count > 0 && !destination)) {
        BM_ASSERT_REPORT();
        return false;
    }
    unsigned char* to = static_cast<unsigned char*>(destination);
    while (count > 0) {
        if (cursor_ >= filled_) {
            if (count > capacity_) {
                filled_ = 0;
                cursor_ = 0;
                return ReadAll(to, count);
            }
            ssize_t got;
            do {
                got = ::read(handle_, buffer_, static_cast<size_t>(capacity_));
            } while (got < 0 && errno == EINTR);
            if (got < 1) {
                return false;
            }
            cursor_ = 0;
            filled_ = static_cast<int32_t>(got);
        }
        const int32_t buffered = filled_ - cursor_;
        const int32_t take = count < buffered ? count : buffered;
        std::memcpy(to, buffer_ + cursor_, static_cast<size_t>(take));
        cursor_ += take;
        to += take;
        count -= take;
    }
    return true;
}

int32_t BmFile::Size() {
    if (IsOpen()) {
        struct stat info {};
        if (::fstat(handle_, &info) != 0) {
            return 0;
        }
        return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(info.st_size)));
    }
    if (!Open(ModeRead, 0)) {
        return 0;
    }
    const int32_t size = Size();
    Close();
    return size;
}

bool BmFile::WriteBlock(const void* source, int32_t count) {
    if (!IsOpen()) {
        return false;
    }
    return Write(source, count);
}

bool BmFile::ReadInt32(int32_t* target) {
    unsigned char bytes[4];
    if (!target || !Read(bytes, 4)) {
        return false;
    }
    const uint32_t value = static_cast<uint32_t>(bytes[0]) | (static_cast<uint32_t>(bytes[1]) << 8) |
                           (static_cast<uint32_t>(bytes[2]) << 16) | (static_cast<uint32_t>(bytes[3]) << 24);
    *target = static_cast<int32_t>(value);
    return true;
}

bool BmFile::WriteInt32(int32_t value) {
    const uint32_t bits = static_cast<uint32_t>(value);
    const unsigned char bytes[4] = {static_cast<unsigned char>(bits), static_cast<unsigned char>(bits >> 8),
                                    static_cast<unsigned char>(bits >> 16),
                                    static_cast<unsigned char>(bits >> 24)};
    return WriteBlock(bytes, 4);
}
