// A Wine prefix is made afresh in a folder only when the folder is empty or one made before: a
// mistyped --wine-prefix never costs anyone their own prefix.
#include "sim/wine_prefix.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "host/real_clock.h"

namespace {

namespace fs = std::filesystem;

TEST(WinePrefixTest, LeavesAFolderItDidNotMakeAsItIs) {
    std::string folder = (fs::temp_directory_path() / "foreignXXXXXX").string();
    ASSERT_NE(mkdtemp(folder.data()), nullptr);
    std::ofstream(folder + "/system.reg") << "someone's own registry";
    host::RealClock clock;
    sim::WinePrefixOptions options;
    options.cache = folder + "/cache";
    sim::WinePrefix prefix(folder, clock, options);
    std::string error;
    EXPECT_FALSE(prefix.Make(&error));
    EXPECT_EQ(error,
              folder + " is not a Wine prefix made by the virtual board: it is left as it is");
    std::ifstream kept(folder + "/system.reg");
    std::string text;
    std::getline(kept, text);
    EXPECT_EQ(text, "someone's own registry");
    EXPECT_FALSE(fs::exists(options.cache));  // nothing was started or made
    fs::remove_all(folder);
}

}  // namespace
