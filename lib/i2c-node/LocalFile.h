#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

/// Opens `path` for reading and returns the descriptor only when it names a regular file
/// (a symlink to one counts), else -1. A FIFO, a device or a directory would block the open,
/// never end or not read at all, so they are refused before anything is read. The descriptor
/// is close-on-exec.
int openRegularFile(const std::string& path);

/// The same as a C stream for reading; null when refused.
FILE* openRegularStream(const std::string& path);

/// The file a fetch receives into, beside its destination, which stays exactly as it was
/// until `commit` renames the finished file over it (a symlink there is replaced, never
/// written through). Without `keepPartial` it is a new temporary file, removed unless
/// committed; with it, it is "<destination>.part", kept when the fetch fails so that a later
/// fetch can continue from its length. Either gets the destination's permissions, so that the
/// finished file keeps them; without a destination, those of a new file.
class IncomingFile {
  public:
    IncomingFile(const std::string& destination, bool keepPartial);
    ~IncomingFile();
    IncomingFile(const IncomingFile&) = delete;
    IncomingFile& operator=(const IncomingFile&) = delete;

    /// A destination that exists and is neither a regular file nor a symlink.
    static bool refusesDestination(const std::string& destination);
    /// Why a file could not be written at `destination` in place, as an errno (ENOENT, ENOTDIR,
    /// EACCES, EROFS, ...), or 0: its folder cannot take a new file, or a regular file is there
    /// that the effective user may not write. The rename would replace such a file all the same.
    static int unwritable(const std::string& destination);

    bool isOpen() const { return stream_ != nullptr; }
    FILE* stream() const { return stream_; }
    const std::string& path() const { return path_; }
    /// Bytes already there: the length of a partial file being continued, else 0.
    uint64_t length() const { return length_; }
    /// A partial file longer than the file it belongs to cannot be a piece of it.
    void restartIfLongerThan(uint64_t size);

    /// Flushes and syncs to the disk; false when a write failed.
    bool sync();
    /// Renames the synced file over the destination; false when that failed.
    bool commit();
    /// Removes the file when done with it, partial or not: its content is no use to a later
    /// fetch.
    void discard();

  private:
    bool openTemporary();
    bool openPartial();

    std::string destination_;
    std::string path_;
    FILE* stream_ = nullptr;
    uint64_t length_ = 0;
    bool keep_ = false;
};
