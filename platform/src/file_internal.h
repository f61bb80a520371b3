// The pieces of the file layer that its units share: the rules (file_rules.cpp), the handle
// table (file_table.cpp), the buffering of regular files (file_buffer.cpp) and its background
// threads (file_worker.cpp).
#pragma once
#include <windows.h>

#include <sys/stat.h>

#include <memory>
#include <mutex>
#include <string>

namespace lumox_files {

struct FileBuffer;
// Frees a handle's buffer; defined where FileBuffer is.
struct FileBufferRelease {
  void operator()(FileBuffer *buffer) const;
};

struct FileEntry {
  int fd = -1;
  bool canRead = false;
  bool canWrite = false;
  bool shareDelete = false;  // FILE_SHARE_DELETE: others may delete the file meanwhile
  std::unique_ptr<FileBuffer, FileBufferRelease> buffer;  // null: unbuffered (devices, pipes)
};

// ----- rules the units share (file_rules.cpp) -----
// Like every helper of the file units, they return codes and leave the last error alone:
// only the exported calls set it.

// The file-system path of an ANSI name: ERROR_SUCCESS, or ERROR_PATH_NOT_FOUND for a null
// or empty name.
DWORD FsPath(LPCSTR name, std::string &fs);
// A file whose write bits are all clear counts as read-only.
bool IsReadOnlyMode(mode_t mode);
// True when another open of the file holds it with share mode 0 (an exclusive lock).
bool HeldExclusively(const std::string &fs);
// Writes all of `data` (a write that takes nothing counts as ENOSPC), or reads until `size`
// bytes or the end; 0, or the errno that stopped it. `done` bytes were moved either way.
int WriteAll(int fd, const char *data, size_t size, size_t &done);
int ReadAll(int fd, char *out, size_t size, size_t &done);
// The Windows error of a failed read or write: a bad buffer address is ERROR_NOACCESS.
DWORD IoError(int err);

// ----- handle table (file_table.cpp) -----

// A new handle for the entry; null when the table is full.
HANDLE AddEntry(FileEntry &&entry);
// Takes the entry of an open handle out of the table (waiting for calls on it to end);
// false when the handle is not open. The slot is free again after ReleaseSlot(index).
bool TakeEntry(HANDLE handle, FileEntry &entry, size_t &index);
void ReleaseSlot(size_t index);

// Counts a call into the table until LeaveTable(); false when the layer has gone away
// (the library was unloaded, or the process is exiting): the call must not use the table.
bool EnterTable();
void LeaveTable();

// The entry of an open handle, locked until this goes out of scope or Unlock(); false when
// the handle is not open or the layer has gone away (the call fails with
// ERROR_INVALID_HANDLE).
class LockedEntry {
 public:
  explicit LockedEntry(HANDLE handle);
  ~LockedEntry();
  LockedEntry(const LockedEntry &) = delete;
  LockedEntry &operator=(const LockedEntry &) = delete;
  explicit operator bool() const { return entry_ != nullptr; }
  FileEntry *operator->() const { return entry_; }
  FileEntry &operator*() const { return *entry_; }
  // Lets other operations on the handle run (the entry must not be used afterwards).
  void Unlock();

 private:
  std::unique_lock<std::mutex> lock_;
  FileEntry *entry_ = nullptr;
  bool counted_ = false;
};

// ----- buffering (file_buffer.cpp) -----

// The buffer for a new handle, or null when the handle stays unbuffered: a handle that may
// write with share mode 0 gathers writes, a read-only one reads ahead.
std::unique_ptr<FileBuffer, FileBufferRelease> NewBuffer(const FileEntry &entry, DWORD share,
                                                         const struct stat &st);
// Brings the file up to date before an operation that looks at it: every byte written
// through the handle reaches the file (a failure stays pending for WriteFile and
// CloseHandle); with `pointer`, data read ahead is dropped and the descriptor's offset is
// the handle's file pointer again. The entry is locked.
void Settle(FileEntry &entry, bool pointer);
// Settles the handle and reports a delayed write failure: ERROR_SUCCESS or its error.
DWORD WriteOutAll(FileEntry &entry);
// What the buffer does for ReadFile and WriteFile: ERROR_SUCCESS or the call's error.
DWORD BufferedRead(FileEntry &entry, char *out, DWORD toRead, DWORD &done);
DWORD BufferedWrite(FileEntry &entry, const char *data, DWORD toWrite, DWORD &written);
// Fork: the child keeps no write of the parent's (see file_table.cpp).
void ForgetWritesInChild(FileEntry &entry);

}  // namespace lumox_files
