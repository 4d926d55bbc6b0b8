// A registry kept in memory, for tests and the in-process virtual board, with fault knobs.
#pragma once

#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "host/clock.h"
#include "host/registry.h"

namespace host {

class MemoryRegistry final : public Registry {
  public:
    long CreateKey(RegKey root, const std::wstring& path, RegKey* key) override;
    long OpenKey(RegKey root, const std::wstring& path, RegKey* key) override;
    long CloseKey(RegKey key) override;
    long DeleteKey(RegKey root, const std::wstring& path) override;
    long SetValue(RegKey key, const std::wstring& name, uint32_t type, const void* data,
                  uint32_t size) override;
    long QueryValue(RegKey key, const std::wstring& name, uint32_t* type, void* data,
                    uint32_t* size) override;
    long EnumKey(RegKey key, uint32_t index, wchar_t* name, uint32_t* name_chars) override;

    // Direct access for test set-up and checks; paths below HKEY_LOCAL_MACHINE.
    void PutDword(const std::wstring& path, const std::wstring& name, uint32_t value);
    void PutString(const std::wstring& path, const std::wstring& name, const std::wstring& value);
    bool GetDwordAt(const std::wstring& path, const std::wstring& name, uint32_t* value);
    bool HasKey(const std::wstring& path);

    // Fault knobs.
    void FailAll(bool fail);                  // the store cannot be used at all
    void FailOpen(const std::wstring& path);  // opening or creating this key fails
    int OpenHandles();                        // handles not closed yet
    // Another program holds the write lock: every write (a value set, a missing key created,
    // a key deleted) answers kRegBusy at once; reads and opening a key that exists go on.
    // SetBusy holds it until cleared; BusyDuring while clock's time lies in [start, end).
    void SetBusy(bool busy);
    void BusyDuring(Clock& clock, int64_t start_us, int64_t end_us);
    int BusyAnswers();  // writes refused as busy so far
    // Writes fail with this result (kRegDiskFull for a full disk) until set back to kRegOk.
    void FailWrites(long result);

    // Watching: every value read (QueryValue on an open key, found or not) and every value
    // written (a SetValue that took), with the folded path of its key, so that a test or the
    // in-process board can count or journal them.  Called outside the store's lock.
    struct ValueAccess {
        std::wstring key_path;  // folded, e.g. L"software\\qzx\\kelvaro"
        std::wstring name;      // as the caller spelt it
        bool write;
        uint32_t type;
        std::vector<uint8_t> data;  // written bytes; empty for a read
    };
    void SetValueObserver(std::function<void(const ValueAccess&)> observer);

  private:
    struct Value {
        uint32_t type;
        std::vector<uint8_t> data;
    };
    using Values = std::map<std::wstring, Value>;
    long BaseLocked(RegKey root, std::wstring* base);
    long OpenLocked(RegKey root, const std::wstring& path, bool create, RegKey* key);
    Values* ValuesLocked(RegKey key, long* result);
    long QueryLocked(RegKey key, const std::wstring& name, uint32_t* type, void* data,
                     uint32_t* size);
    // Creates every missing key from base along path and returns the folded full path.
    std::wstring EnsureLocked(const std::wstring& base, const std::vector<std::wstring>& parts);
    // kRegOk when a write may be made now, else the answer for it.
    long WriteFaultLocked();
    void PutLocked(const std::wstring& path, const std::wstring& name, Value value);

    std::mutex mutex_;
    // By folded full path (case-insensitive keys); L"" is HKEY_LOCAL_MACHINE itself.
    std::map<std::wstring, Values> keys_{{L"", Values{}}};
    std::map<std::wstring, std::wstring> display_{{L"", L""}};  // folded -> as first created
    std::map<RegKey, std::wstring> handles_;
    std::set<std::wstring> fail_open_;
    bool fail_all_ = false;
    bool busy_ = false;
    Clock* busy_clock_ = nullptr;
    int64_t busy_start_us_ = 0;
    int64_t busy_end_us_ = 0;
    int busy_answers_ = 0;
    long write_fault_ = kRegOk;
    std::function<void(const ValueAccess&)> observer_;
    RegKey next_handle_ = 0x1000;
};

}  // namespace host
