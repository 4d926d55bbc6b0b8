// A Wine prefix in which the Windows build of the updater runs against the virtual board (the
// board's own runs and the tests' alike).
//
// Making one: a first start of a prefix (`wineboot -i`) takes some 13 s, so a template is made
// once in a cache folder ($XDG_CACHE_HOME, or ~/.cache, then virtual-board/wine-template) and
// each prefix is a copy of it.  The copy hard-links the template's program images (the files
// that begin with "MZ", nearly all of its 700 MB, which Wine only reads) and copies everything
// else, which takes a small part of a second; the copy's .update-timestamp says "disable", so
// that Wine never rewrites those shared images in place.  The template is remade when the
// installed Wine's version is not the one that made it.  A lock file beside it keeps two runs
// from making it at once (and from copying it while it is remade).
//
// Registry values go in through a .reg file that `wine regedit /S` imports, the Wine server
// then waited out (`wineserver -w`), so that the import is on disk and the next start of the
// prefix reads it.  That matters for HKLM\Software\Wine\Ports: Wine maps COM ports when its
// server starts, so the Ports key must be there before the server that runs the updater
// starts.  regedit is Wine's own way in (it writes the server's files in the server's format);
// it costs one start of the prefix, some 2 s.  COM1 and COM2 name the device root's links
// (ROOT/dev/COM1, ROOT/dev/VEI1), which Wine follows at each open: the board re-points them
// at new pseudo-terminals without touching the prefix.
//
// At the end, `wineserver -w` again: Wine writes its registry files only when the server ends
// (or long after a change), and the values are read back from system.reg.
//
// Every step is bounded: a Wine program that outlives its time is killed, and the prefix's
// server with it (`wineserver -k`).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host/clock.h"
#include "sim/wine_registry.h"

namespace sim {

struct WinePrefixOptions {
    // Where the template is kept; empty: $XDG_CACHE_HOME or ~/.cache, then "virtual-board".
    std::string cache;
    // False: a fresh first start of the prefix itself, no template.
    bool use_template = true;
    // Graphics=null, so that a dialog needs no display; false leaves Wine's display driver on
    // (for a screenshot under a virtual X server).
    bool headless = true;
    // The bound of each step that runs a Wine program, and a time on the clock past which no
    // step runs on (the whole run's bound).
    int64_t step_limit_us = 120'000'000;
    int64_t deadline_us = host::kForever;
};

// The values that map COM1 to ROOT/dev/COM1 and COM2 (the multiplexer's VEI1:) to
// ROOT/dev/VEI1.
std::vector<RegEntry> PortEntries(const std::string& root);

class WinePrefix {
  public:
    WinePrefix(std::string path, host::Clock& clock, WinePrefixOptions options = {});

    const std::string& path() const { return path_; }
    bool from_template() const { return from_template_; }
    // The template's folder for these options.
    std::string TemplatePath() const;

    // Makes the prefix afresh.  A folder that is there already is erased only when it is a
    // prefix made here (it holds the marker file); any other folder that is not empty is
    // refused, so that a mistyped path never costs anyone their own prefix.
    bool Make(std::string* error);
    // Imports the entries (with the display's setting) and waits the server out; the values
    // are checked in the registry files afterwards.
    bool Import(const std::vector<RegEntry>& entries, std::string* error);

    // WINEPREFIX, WINEDEBUG=-all and, when root is not empty, UPDATER_ROOT.
    std::vector<std::string> Environment(const std::string& root = {}) const;
    // `wine` before the program and its arguments.
    static std::vector<std::string> Command(const std::vector<std::string>& program);
    // Runs the program under wine in the prefix, its output to the given files ("" inherits),
    // killed past limit_us; its exit status, or -1 with the reason in *error.
    int Run(const std::vector<std::string>& program, const std::string& root, int64_t limit_us,
            const std::string& out_path, const std::string& err_path, std::string* error);

    // Waits until the prefix's server has ended (and written its files); past limit_us the
    // server is killed and the answer is false.
    bool WaitForServer(int64_t limit_us, std::string* error);
    // Ends the prefix's server and every program in it, now, and waits (a few seconds at
    // most) while the server writes its files.
    void KillServer();

    // HKEY_LOCAL_MACHINE and HKEY_CURRENT_USER as last written (after WaitForServer).
    bool ReadMachine(WineRegistry* registry, std::string* error) const;
    bool ReadUser(WineRegistry* registry, std::string* error) const;

  private:
    int64_t StepLimit() const;
    // "after 2 s", or "at the run's time limit" once the deadline has passed.
    std::string Over(int64_t limit_us) const;
    bool MakeFresh(const std::string& folder, std::string* error);
    bool EnsureTemplate(std::string* error);
    bool Clear(std::string* error);

    const std::string path_;
    host::Clock& clock_;
    const WinePrefixOptions options_;
    bool from_template_ = false;
};

}  // namespace sim
