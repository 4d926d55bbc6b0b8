// Opening the device root's own files (board.regs, power.log, debug.log, updater.lock) through
// the Win32 file API, the way every such file is opened: by a UTF-8 path converted to UTF-16 (a
// narrow path would go through the ANSI code page), shared for reading, writing and deletion so
// that the virtual board and other tools keep their access, never inherited by a child, and
// never through a symbolic link or another reparse point, which is nothing the board made.
#pragma once

#include <windows.h>

#include <string>

namespace host::win32 {

// The UTF-16 form of a UTF-8 path; empty when the path is not valid UTF-8.
std::wstring WidePath(const std::string& path);

// The system's text for an error code, on one line: "Access is denied. (5)".
std::string SystemErrorText(DWORD error);

// A handle of one of the root's files, closed with the object.
class RootFile {
  public:
    RootFile() = default;
    ~RootFile();
    RootFile(const RootFile&) = delete;
    RootFile& operator=(const RootFile&) = delete;

    // Opens `path` with the given access (GENERIC_READ, GENERIC_WRITE, FILE_APPEND_DATA...) and
    // creation disposition (OPEN_EXISTING, OPEN_ALWAYS).  False with the reason in *why, which
    // says "it is a symbolic link" for a reparse point and "it is not a regular file" for a
    // folder or a device.
    bool Open(const std::string& path, DWORD access, DWORD disposition, std::string* why);
    void Close();

    bool ok() const { return handle_ != INVALID_HANDLE_VALUE; }
    HANDLE get() const { return handle_; }

  private:
    HANDLE handle_ = INVALID_HANDLE_VALUE;
};

}  // namespace host::win32
