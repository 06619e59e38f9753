#include "ImageStream.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

bool FileImageStream::Open(const char* path, const char* mode) {
    Close();
    file_ = std::fopen(path, mode);
    closeOnDestruction_ = true;
    return file_ != nullptr;
}

bool FileImageStream::OpenInput(const char* path) {
    Close();
    // Looked at before it is opened: opening a device can act on it (a tape
    // rewinds, a terminal becomes ours).
    struct stat named;
    if (::stat(path, &named) != 0) {
        openError_ = strerrordesc_np(errno);
        return false;
    }
    if (!S_ISREG(named.st_mode)) {
        openError_ = S_ISDIR(named.st_mode) ? "is a directory" : "is not a regular file";
        return false;
    }
    // Non-blocking, so a FIFO put in its place meanwhile returns at once.
    const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || ::fstat(fd, &st) != 0) {
        openError_ = strerrordesc_np(errno);
        if (fd >= 0) ::close(fd);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        openError_ = S_ISDIR(st.st_mode) ? "is a directory" : "is not a regular file";
        ::close(fd);
        return false;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    file_ = ::fdopen(fd, "rb");
    if (!file_) {
        openError_ = strerrordesc_np(errno);
        ::close(fd);
        return false;
    }
    closeOnDestruction_ = true;
    return true;
}

bool FileImageStream::Close() {
    if (!file_ || !closeOnDestruction_) return true;
    errno = 0;
    const bool ok = Failed(std::fclose(file_) == 0);
    file_ = nullptr;
    return ok;
}

size_t FileImageStream::Read(void* buffer, size_t size, size_t count) {
    return file_ ? std::fread(buffer, size, count, file_) : 0;
}

size_t FileImageStream::Write(const void* buffer, size_t size, size_t count) {
    if (!file_) return 0;
    errno = 0;
    const size_t done = std::fwrite(buffer, size, count, file_);
    Failed(done == count);
    return done;
}

bool FileImageStream::Seek(int64_t offset, int origin) {
    return file_ && ::fseeko(file_, off_t(offset), origin) == 0;
}

int64_t FileImageStream::Tell() { return file_ ? int64_t(::ftello(file_)) : -1; }

int64_t FileImageStream::Size() {
    if (!file_) return -1;
    const off_t pos = ::ftello(file_);
    if (pos < 0 || ::fseeko(file_, 0, SEEK_END) != 0) return -1;
    const off_t size = ::ftello(file_);
    ::fseeko(file_, pos, SEEK_SET);
    return int64_t(size);
}

bool FileImageStream::Flush() {
    if (!file_) return false;
    errno = 0;
    return Failed(std::fflush(file_) == 0);
}

bool FileImageStream::Eof() { return !file_ || std::feof(file_) != 0; }

int32_t FileImageStream::Error() { return file_ ? std::ferror(file_) : -1; }

bool FileImageStream::PutC(uint8_t c) {
    if (!file_) return false;
    errno = 0;
    return Failed(std::fputc(c, file_) == c);
}

int32_t FileImageStream::GetC() { return file_ ? std::fgetc(file_) : -1; }

bool MemoryImageStream::Open() {
    if (buffer_) return false;
    position_ = size_ = 0;
    capacity_ = 0;
    buffer_ = static_cast<uint8_t*>(std::malloc(1));
    freeOnClose_ = true;
    return buffer_ != nullptr;
}

uint8_t* MemoryImageStream::GetBuffer(bool detach) {
    if (detach) freeOnClose_ = false;
    return buffer_;
}

bool MemoryImageStream::Close() {
    if (buffer_ && freeOnClose_) {
        std::free(buffer_);
        buffer_ = nullptr;
        size_ = 0;
    }
    return true;
}

// Capacity grows in whole 4 KiB pages, always strictly past the length asked,
// and at least by half of what it was: a stream written a row at a time is
// copied a few times, not once a page. A length no pointer difference can
// hold, or a failed reallocation, fails the write.
bool MemoryImageStream::Grow(uint64_t length) {
    if (length <= capacity_) return true;
    constexpr uint64_t kMost = uint64_t(PTRDIFF_MAX) / 2;
    if (length >= kMost) return false;
    const uint64_t wanted = std::max(length, capacity_ + capacity_ / 2);
    const uint64_t capacity = std::min((wanted & ~uint64_t(4095)) + 4096, kMost);
    uint8_t* grown;
    if (freeOnClose_) {
        grown = static_cast<uint8_t*>(std::realloc(buffer_, size_t(capacity)));
    } else {
        // A buffer the caller still owns is copied, never reallocated under it.
        grown = static_cast<uint8_t*>(std::malloc(size_t(capacity)));
        if (grown && buffer_) std::memcpy(grown, buffer_, size_t(std::max<int64_t>(size_, 0)));
    }
    if (!grown) return false;
    buffer_ = grown;
    freeOnClose_ = true;
    capacity_ = capacity;
    return true;
}

size_t MemoryImageStream::Read(void* buffer, size_t size, size_t count) {
    if (!buffer || !buffer_ || position_ >= size_ || size == 0 || count == 0) return 0;
    if (count > SIZE_MAX / size) return 0;
    const size_t bytes = std::min(size * count, size_t(size_ - position_));
    std::memcpy(buffer, buffer_ + position_, bytes);
    position_ += int64_t(bytes);
    return bytes / size;
}

size_t MemoryImageStream::Write(const void* buffer, size_t size, size_t count) {
    if (!buffer || !buffer_ || size == 0 || count == 0) return 0;
    if (count > SIZE_MAX / size) return 0;
    const uint64_t bytes = uint64_t(size) * count;
    if (bytes > UINT64_MAX - uint64_t(position_)) return 0;
    const uint64_t end = uint64_t(position_) + bytes;
    if (!Grow(end)) return 0;
    // A write past the end leaves zeros before it, as a file does: libtiff
    // seeks over pad bytes, which would otherwise carry old heap contents.
    if (position_ > size_) std::memset(buffer_ + size_, 0, size_t(position_ - size_));
    std::memcpy(buffer_ + position_, buffer, size_t(bytes));
    position_ = int64_t(end);
    size_ = std::max(size_, position_);
    return count;
}

bool MemoryImageStream::Seek(int64_t offset, int origin) {
    if (!buffer_) return false;
    int64_t base;
    switch (origin) {
    case SEEK_SET: base = 0; break;
    case SEEK_CUR: base = position_; break;
    case SEEK_END: base = size_; break;
    default: return false;
    }
    // Clamped, never wrapped: a seek far past the end reads nothing.
    if (offset > 0 && base > INT64_MAX - offset) position_ = INT64_MAX;
    else position_ = std::max<int64_t>(base + offset, 0);
    return true;
}

int64_t MemoryImageStream::Tell() { return buffer_ ? position_ : -1; }

int64_t MemoryImageStream::Size() { return buffer_ ? size_ : -1; }

bool MemoryImageStream::Flush() { return buffer_ != nullptr; }

bool MemoryImageStream::Eof() { return !buffer_ || position_ >= size_; }

int32_t MemoryImageStream::Error() {
    if (!buffer_) return -1;
    return position_ > size_ ? 1 : 0;
}

bool MemoryImageStream::PutC(uint8_t c) { return Write(&c, 1, 1) == 1; }

int32_t MemoryImageStream::GetC() {
    if (Eof()) return -1;
    return buffer_[position_++];
}
