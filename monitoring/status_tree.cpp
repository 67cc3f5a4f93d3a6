#include "monitoring/status_tree.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

const int kDirFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
// Folders that local readers must be able to enter and list, files they
// must be able to read.
const mode_t kDirMode = 0755;
const mode_t kFileMode = 0644;

bool isLink(int at, const std::string& name)
{
    struct stat st;
    return ::fstatat(at, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode);
}

// An entry right under the folder at, a folder only when empty.
void removeEntry(int at, const char* name)
{
    if (::unlinkat(at, name, 0) != 0 && (errno == EISDIR || errno == EPERM))
        ::unlinkat(at, name, AT_REMOVEDIR);
}

// A new temporary file beside name, made exclusively so that it never
// takes the place of a file of that name: its descriptor, or -1.
int freshFile(int at, const std::string& name, std::string& fresh)
{
    static unsigned long next = static_cast<unsigned long>(::getpid()) << 12;
    for (int tries = 0; tries < 100; ++tries) {
        char suffix[16];
        std::snprintf(suffix, sizeof(suffix), ".%06lx", next++ & 0xFFFFFF);
        fresh = "." + name + suffix;
        int fd = ::openat(at, fresh.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kFileMode);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}

// The text into a temporary file beside name, renamed over it once whole
// (a link in its place goes, never followed): 0, or the errno of the step
// that failed.
int writeWhole(int at, const std::string& name, const std::string& text)
{
    std::string fresh;
    Fd fd(freshFile(at, name, fresh));
    if (!fd)
        return errno;
    int error = ::fchmod(fd.get(), kFileMode) == 0 ? 0 : errno;
    for (size_t done = 0; !error && done < text.size();) {
        ssize_t n = ::write(fd.get(), text.data() + done, text.size() - done);
        if (n > 0)
            done += static_cast<size_t>(n);
        else if (n == 0 || errno != EINTR)
            error = n == 0 ? ENOSPC : errno;
    }
    if (fd.close() != 0 && !error)
        error = errno;
    if (!error && ::renameat(at, fresh.c_str(), at, name.c_str()) != 0)
        error = errno;
    if (error)
        ::unlinkat(at, fresh.c_str(), 0);
    return error;
}

} // namespace

StatusTree::StatusTree(std::string top, std::function<void(const std::string&, int)> fault,
                       std::function<void(const std::string&)> made)
    : mTop(std::move(top)), mFault(std::move(fault)), mMade(std::move(made))
{
    while (mTop.size() > 1 && mTop.back() == '/')
        mTop.pop_back();
}

int StatusTree::folder(const std::string& rel)
{
    auto open = mOpen.find(rel);
    if (open != mOpen.end())
        return open->second.get();
    int fd = -1;
    if (rel.empty()) {
        // The folder above the top is where we were told to look; only
        // the top and what is under it are ours.
        size_t slash = mTop.rfind('/');
        Fd above(::open(slash == 0 ? "/" : mTop.substr(0, slash).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!above)
            mFault("status folder " + folderPath(rel), errno);
        else
            fd = descend(above.get(), mTop.substr(slash + 1), rel);
    } else {
        size_t slash = rel.rfind('/');
        std::string up = slash == std::string::npos ? "" : rel.substr(0, slash);
        int at = folder(up);
        if (at >= 0)
            fd = descend(at, rel.substr(slash + 1), rel);
    }
    // A folder that cannot be reached is reported once a walk.
    mOpen[rel].reset(fd);
    return fd;
}

int StatusTree::descend(int at, const std::string& name, const std::string& rel)
{
    const std::string what = "status folder " + folderPath(rel);
    int fd = ::openat(at, name.c_str(), kDirFlags);
    if (fd >= 0)
        return fd;
    int error = errno;
    if (error != ENOENT && isLink(at, name)) {
        mFault(what, ELOOP);
        if (::unlinkat(at, name.c_str(), 0) != 0) {
            mFault(what, errno);
            return -1;
        }
    } else if (error != ENOENT && error != ENOTDIR) {
        mFault(what, error);
        return -1;
    }
    // Another program's file in the folder's place stays: EEXIST.
    if (::mkdirat(at, name.c_str(), kDirMode) != 0) {
        mFault(what, errno);
        return -1;
    }
    mMade(rel);
    fd = ::openat(at, name.c_str(), kDirFlags);
    if (fd < 0)
        mFault(what, errno);
    return fd;
}

int StatusTree::parentOf(const std::string& rel, std::string& name)
{
    size_t slash = rel.rfind('/');
    name = rel.substr(slash == std::string::npos ? 0 : slash + 1);
    return folder(slash == std::string::npos ? "" : rel.substr(0, slash));
}

bool StatusTree::write(const std::string& rel, const std::string& text)
{
    std::string name;
    int at = parentOf(rel, name);
    if (at < 0)
        return false;
    const std::string what = "status file " + path(rel);
    if (isLink(at, name))
        mFault(what, ELOOP);
    int error = writeWhole(at, name, text);
    if (error)
        mFault(what, error);
    return error == 0;
}

bool StatusTree::lacking(const std::string& rel)
{
    std::string name;
    int at = parentOf(rel, name);
    if (at < 0)
        return true;
    struct stat st;
    if (::fstatat(at, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0)
        return S_ISLNK(st.st_mode);
    // A file that cannot be looked at is left as it is.
    return errno == ENOENT;
}

void StatusTree::link(const std::string& rel, const std::string& target)
{
    std::string name;
    int at = parentOf(rel, name);
    if (at < 0)
        return;
    char to[PATH_MAX];
    ssize_t n = ::readlinkat(at, name.c_str(), to, sizeof(to));
    if (n >= 0 && std::string(to, static_cast<size_t>(n)) == target)
        return;
    // A link that points elsewhere is put back as ours; anything else in
    // its place is left as it is.
    if (n >= 0)
        ::unlinkat(at, name.c_str(), 0);
    else if (errno != ENOENT)
        return;
    if (::symlinkat(target.c_str(), at, name.c_str()) != 0)
        mFault("status link " + path(rel), errno);
}

void StatusTree::remove(const std::function<bool(const char*)>& which)
{
    size_t slash = mTop.rfind('/');
    Fd above(::open(slash == 0 ? "/" : mTop.substr(0, slash).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    Fd top(above ? ::openat(above.get(), mTop.substr(slash + 1).c_str(), kDirFlags) : -1);
    // closedir closes the listing's own copy.
    int listed = top ? ::fcntl(top.get(), F_DUPFD_CLOEXEC, 0) : -1;
    DIR* d = listed >= 0 ? ::fdopendir(listed) : nullptr;
    if (!d) {
        if (listed >= 0)
            ::close(listed);
        return;
    }
    std::vector<std::string> names;
    while (dirent* e = ::readdir(d)) {
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0 && which(e->d_name))
            names.push_back(e->d_name);
    }
    ::closedir(d);
    for (const std::string& name : names)
        removeEntry(top.get(), name.c_str());
}
