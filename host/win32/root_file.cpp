// The device root's files under Win32.
#include "host/win32/root_file.h"

namespace host::win32 {

std::wstring WidePath(const std::string& path) {
    if (path.empty())
        return {};
    const int size = static_cast<int>(path.size());
    const int wide =
        MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.data(), size, nullptr, 0);
    if (wide <= 0)
        return {};
    std::wstring text(static_cast<size_t>(wide), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.data(), size, text.data(), wide);
    return text;
}

std::string SystemErrorText(DWORD error) {
    char* buffer = nullptr;
    const DWORD length = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0, reinterpret_cast<char*>(&buffer), 0, nullptr);
    std::string text = length > 0 ? std::string(buffer, length) : "error";
    LocalFree(buffer);
    // The system's texts end in "\r\n" and sometimes hold more line breaks.
    for (char& c : text) {
        if (c == '\r' || c == '\n')
            c = ' ';
    }
    while (!text.empty() && text.back() == ' ')
        text.pop_back();
    return text + " (" + std::to_string(error) + ")";
}

RootFile::~RootFile() {
    Close();
}

void RootFile::Close() {
    if (handle_ != INVALID_HANDLE_VALUE)
        CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
}

bool RootFile::Open(const std::string& path, DWORD access, DWORD disposition, std::string* why) {
    Close();
    const std::wstring wide = WidePath(path);
    if (wide.empty()) {
        *why = "the path is not valid UTF-8";
        return false;
    }
    // FILE_FLAG_OPEN_REPARSE_POINT opens a link itself rather than its target, so that it can
    // be recognised and refused below; a file is thus never reached through one.
    HANDLE handle = CreateFileW(
        wide.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
        disposition, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        *why = SystemErrorText(GetLastError());
        return false;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    const bool known = GetFileInformationByHandle(handle, &info) != 0;
    const char* refusal = nullptr;
    if (known && (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
        refusal = "it is a symbolic link";
    else if (!known || GetFileType(handle) != FILE_TYPE_DISK ||
             (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        refusal = "it is not a regular file";
    if (refusal != nullptr) {
        CloseHandle(handle);
        *why = refusal;
        return false;
    }
    handle_ = handle;
    return true;
}

}  // namespace host::win32
