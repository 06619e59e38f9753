// The byte stream every codec reads and writes through. Codecs rely on the
// exact conventions: Read and Write count whole items, Tell and Size give -1
// without a stream, GetC gives -1 at the end. Positions and sizes are 64-bit:
// a file past 2 or 4 GiB neither wraps nor slips past the size guards.
#pragma once

#include <cerrno>
#include <cstdint>
#include <cstdio>

class ImageStream {
public:
    virtual ~ImageStream() = default;
    virtual bool Close() = 0;
    virtual size_t Read(void* buffer, size_t size, size_t count) = 0;
    virtual size_t Write(const void* buffer, size_t size, size_t count) = 0;
    virtual bool Seek(int64_t offset, int origin) = 0;
    virtual int64_t Tell() = 0;
    virtual int64_t Size() = 0;
    virtual bool Flush() = 0;
    virtual bool Eof() = 0;
    virtual int32_t Error() = 0;
    virtual bool PutC(uint8_t c) { return Write(&c, 1, 1) == 1; }
    virtual int32_t GetC() = 0;
};

class FileImageStream : public ImageStream {
public:
    FileImageStream() = default;
    // Adopts an open file; it is closed only when closeOnDestruction is set.
    explicit FileImageStream(FILE* file, bool closeOnDestruction = false)
        : file_(file), closeOnDestruction_(closeOnDestruction) {}
    ~FileImageStream() override { Close(); }
    FileImageStream(const FileImageStream&) = delete;
    FileImageStream& operator=(const FileImageStream&) = delete;

    bool Open(const char* path, const char* mode);
    // Opens an input for reading, never waiting on a FIFO or a device: only
    // a regular file is taken. On failure OpenError() says why ("is a
    // directory", "is not a regular file", or the system's reason).
    bool OpenInput(const char* path);
    const char* OpenError() const { return openError_; }
    // The system's reason (errno) for the first write, flush or close that
    // failed, 0 when none did: a full disk is "No space left on device",
    // whatever the codec made of it.
    int WriteErrno() const { return writeErrno_; }
    bool Close() override;
    size_t Read(void* buffer, size_t size, size_t count) override;
    size_t Write(const void* buffer, size_t size, size_t count) override;
    bool Seek(int64_t offset, int origin) override;
    int64_t Tell() override;
    int64_t Size() override;
    bool Flush() override;
    bool Eof() override;
    int32_t Error() override;
    bool PutC(uint8_t c) override;
    int32_t GetC() override;
    FILE* Handle() const { return file_; }

private:
    FILE* file_ = nullptr;
    bool closeOnDestruction_ = false;
    const char* openError_ = "";
    int writeErrno_ = 0;
    bool Failed(bool ok) {
        if (!ok && writeErrno_ == 0) writeErrno_ = errno ? errno : EIO;
        return ok;
    }
};

class MemoryImageStream : public ImageStream {
public:
    MemoryImageStream() = default;
    // Adopts the caller's buffer without taking ownership.
    MemoryImageStream(uint8_t* buffer, size_t size)
        : buffer_(buffer), size_(int64_t(size)), position_(0), capacity_(size) {}
    ~MemoryImageStream() override { Close(); }
    MemoryImageStream(const MemoryImageStream&) = delete;
    MemoryImageStream& operator=(const MemoryImageStream&) = delete;

    bool Open();
    uint8_t* GetBuffer(bool detach = true);
    uint64_t Capacity() const { return capacity_; }

    bool Close() override;
    size_t Read(void* buffer, size_t size, size_t count) override;
    size_t Write(const void* buffer, size_t size, size_t count) override;
    bool Seek(int64_t offset, int origin) override;
    int64_t Tell() override;
    int64_t Size() override;
    bool Flush() override;
    bool Eof() override;
    int32_t Error() override;
    bool PutC(uint8_t c) override;
    int32_t GetC() override;

private:
    bool Grow(uint64_t length);

    uint8_t* buffer_ = nullptr;
    int64_t size_ = 0;
    bool freeOnClose_ = false;
    int64_t position_ = 0;
    uint64_t capacity_ = 0;
};
