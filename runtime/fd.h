// Owning file-descriptor value and the fcntl helpers around it.
#pragma once

// An owning descriptor. Copies never share: each copy holds its own
// close-on-exec duplicate, so every holder closes only what it holds.
// Copies and closes go through the device interface (board/device.h).
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : mFd(fd) {}
    Fd(const Fd& other) : mFd(other.dup()) {}
    Fd(Fd&& other) noexcept : mFd(other.mFd) { other.mFd = -1; }
    ~Fd();

    Fd& operator=(const Fd& other);
    Fd& operator=(Fd&& other) noexcept;

    // Takes ownership of a raw descriptor, closing the one held so far.
    void reset(int fd = -1);
    // Gives up ownership without closing.
    int release() { int fd = mFd; mFd = -1; return fd; }

    int get() const { return mFd; }
    explicit operator bool() const { return mFd >= 0; }

    // A close-on-exec duplicate of the descriptor, or -1 (also when empty).
    int dup() const;
    // -1 with EBADF when empty, else the result of close(2); empty afterwards.
    int close();
    bool NonBlock() const;

private:
    int mFd = -1;
};

// Set O_NONBLOCK; false when the flags cannot be read or written.
bool NonBlockMode(int fd);
// Clear O_NONBLOCK; false when the flags cannot be read or written.
bool BlockMode(int fd);
// Set or clear FD_CLOEXEC. Returns true when F_SETFD failed (callers ignore it).
bool SetCloexec(int fd, bool on);
