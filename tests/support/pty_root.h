// A scratch device root whose dev/COM1 is the slave of a pseudo-terminal that the test holds
// the master of: the far end of a real POSIX serial port.  Removed with the object.
#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <string>

namespace testproc {

class PtyRoot {
  public:
    // Fails the test (and leaves ok() false) when the root or the terminal cannot be made.
    PtyRoot() {
        std::string pattern = (std::filesystem::temp_directory_path() / "ptyrootXXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr)
            return;
        root_ = pattern;
        std::filesystem::create_directory(root_ + "/dev");
        master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0)
            return;
        std::filesystem::create_symlink(ptsname(master_), root_ + "/dev/COM1");
        ok_ = true;
    }
    ~PtyRoot() {
        CloseMaster();
        if (!root_.empty())
            std::filesystem::remove_all(root_);
    }
    PtyRoot(const PtyRoot&) = delete;
    PtyRoot& operator=(const PtyRoot&) = delete;

    bool ok() const { return ok_; }
    const std::string& root() const { return root_; }
    int master() const { return master_; }
    // Hangs the line up, as a pulled cable does.
    void CloseMaster() {
        if (master_ >= 0)
            close(master_);
        master_ = -1;
    }

  private:
    std::string root_;
    int master_ = -1;
    bool ok_ = false;
};

}  // namespace testproc
