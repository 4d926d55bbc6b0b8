// The accesses of a host's register file: see the header.
#include "host/register_file_bus.h"

namespace host {

using namespace register_layout;

bool RegisterFileBus::WriteFreshIfEmpty(uint64_t size) {
    if (size != 0)
        return true;
    const Image image = FreshImage();
    if (WriteAt(image.data(), image.size(), 0) != image.size()) {
        error_ = Reason("cannot initialise");
        return false;
    }
    return true;
}

bool RegisterFileBus::CheckHeader(uint64_t size) {
    unsigned char header[kHeaderSize] = {};
    if (size >= kHeaderSize && ReadAt(header, sizeof header, 0) != sizeof header) {
        error_ = Reason("cannot read the header");
        return false;
    }
    if (auto refusal = RefusalOf(size, header)) {
        error_ = *refusal;
        return false;
    }
    return true;
}

void RegisterFileBus::NoteFailure(const std::string& reason) const {
    ++failures_;
    last_failure_ = path_ + ": " + reason;
}

bool RegisterFileBus::ReadImage(Image& image) const {
    if (!IsOpen()) {
        NoteFailure(error_.empty() ? "not open" : error_);
        return false;
    }
    const std::optional<size_t> got = ReadAt(image.data(), image.size(), 0);
    if (!got) {
        NoteFailure(Reason("cannot read"));
        return false;
    }
    if (auto failure = FailureOf(*got, image)) {
        NoteFailure(*failure);
        return false;
    }
    return true;
}

bool RegisterFileBus::ReadLocked(Image& image) const {
    const bool locked = IsOpen() && LockFile(false);
    const bool read = ReadImage(image);
    if (locked)
        UnlockFile();
    return read;
}

uint32_t RegisterFileBus::Load(uint32_t address, int width) const {
    const size_t offset = SlotOffset(address, width, false, writable_);
    std::lock_guard<std::mutex> guard(mutex_);
    Image image;
    return ReadLocked(image) ? register_layout::Load(image, offset, width) : 0;
}

void RegisterFileBus::Store(uint32_t address, int width, uint32_t value) {
    const size_t offset = SlotOffset(address, width, true, writable_);
    std::lock_guard<std::mutex> guard(mutex_);
    Image image;
    const bool locked = IsOpen() && LockFile(true);
    if (ReadImage(image)) {
        // The write counter and the slots up to this one in one write: the slots in between
        // go back as they were read under the lock.
        const size_t length = register_layout::Store(image, offset, width, value);
        const std::optional<size_t> put =
            WriteAt(image.data() + kWriteCountOffset, length, kWriteCountOffset);
        if (put != length)
            NoteFailure(!put ? Reason("cannot write") : std::string("write cut short"));
    }
    if (locked)
        UnlockFile();
}

uint8_t RegisterFileBus::Read8(uint32_t address) {
    return static_cast<uint8_t>(Load(address, 8));
}

uint16_t RegisterFileBus::Read16(uint32_t address) {
    return static_cast<uint16_t>(Load(address, 16));
}

uint32_t RegisterFileBus::Read32(uint32_t address) {
    return Load(address, 32);
}

void RegisterFileBus::Write8(uint32_t address, uint8_t value) {
    Store(address, 8, value);
}

void RegisterFileBus::Write16(uint32_t address, uint16_t value) {
    Store(address, 16, value);
}

void RegisterFileBus::Write32(uint32_t address, uint32_t value) {
    Store(address, 32, value);
}

uint64_t RegisterFileBus::FailedAccesses() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return failures_;
}

std::string RegisterFileBus::LastFailure() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return last_failure_;
}

uint32_t RegisterFileBus::Peek(uint32_t address) const {
    return Load(address, 32);
}

uint32_t RegisterFileBus::WriteCount() const {
    std::lock_guard<std::mutex> guard(mutex_);
    // Not open: refused at open, which error() says; not counted as a failed access.
    if (!IsOpen())
        return 0;
    Image image;
    return ReadLocked(image) ? WordAt(image, kWriteCountOffset) : 0;
}

}  // namespace host
