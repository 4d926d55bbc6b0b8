// Command-line parsing for the virtual board.
#include "tools/virtual-board/options.h"

#include <string_view>

#include "tools/common/numbers.h"

namespace vboard {

const char kUsage[] =
    "usage: virtual-board [--root DIR [--reuse]] [--pace] [--device-name N] [--reboot N]\n"
    "                     [--fault LIST]... [--no-com1] [--no-vei1] [--fsize-limit BYTES]\n"
    "                     [--time-limit S] [--thread-limit N] [--report FILE|-]\n"
    "                     [--wine [--wine-prefix DIR] [--wine-display]]\n"
    "                     -- COMMAND [ARG...]\n"
    "       virtual-board --fault help | --help | --version\n"
    "\n"
    "Provisions a device root (pseudo-terminals for COM1: and VEI1:, the register file, the\n"
    "registry store with the UART0 driver's key, the loaded radio drivers and a phone radio\n"
    "that is on), runs the modem model on COM1 and records the AT commands on VEI1, runs\n"
    "COMMAND with UPDATER_ROOT set and the terminal passed through, and writes a JSON report\n"
    "of what the board saw once COMMAND has ended.  The dev/COM1 and dev/VEI1 links are\n"
    "removed when the run ends: their pseudo-terminals end with it.\n"
    "\n"
    "  --root DIR          use DIR as the device root and keep it; a root that exists is\n"
    "                      provisioned afresh (what an earlier run left in it is erased); by\n"
    "                      default a temporary root is made and removed\n"
    "  --reuse             with --root: keep the root's registry.db and board.regs as the last\n"
    "                      run left them (debug.log is kept, power.log cleared); only the\n"
    "                      pseudo-terminals and their dev links are made afresh\n"
    "  --pace              carry bytes at the line's bit rate (10 bit times a byte)\n"
    "  --device-name N     store DeviceName = N in Software\\QZX\\Kelvaro\n"
    "  --reboot N          store Reboot = N there\n"
    "  --fault LIST        faults, comma-separated (repeatable), e.g.\n"
    "                      wrong-answer=700:2@sw,latency-ms=5 or signal=TERM@sw:100x2;\n"
    "                      --fault help lists them all\n"
    "  --no-com1           leave dev/COM1 out, so that COM1: cannot be opened\n"
    "  --no-vei1           leave dev/VEI1 out, as on a board without the multiplexer\n"
    "  --fsize-limit BYTES the command's file-size limit (RLIMIT_FSIZE, SIGXFSZ ignored): a\n"
    "                      write past BYTES in any file fails with EFBIG, as on a full disk\n"
    "  --time-limit S      kill the command (SIGKILL) after S seconds\n"
    "  --thread-limit N    kill the command (SIGKILL) once it has more than N threads\n"
    "  --report FILE       write the report to FILE; by default it goes to standard error,\n"
    "                      after the board's own last lines\n"
    "  --report -          write the report to standard output; the command's standard output\n"
    "                      then goes to standard error, so that the report stands alone\n"
    "  --wine              COMMAND is a Windows program (e.g. build-win32/bin/gsm-updater.exe),\n"
    "                      run with wine in a Wine prefix made afresh for the run: a copy of\n"
    "                      a template kept in $XDG_CACHE_HOME/virtual-board (or\n"
    "                      ~/.cache/virtual-board), made on first use; Wine's COM1 and COM2\n"
    "                      are the root's dev/COM1 and dev/VEI1, the board's values go into\n"
    "                      Wine's registry (HKEY_LOCAL_MACHINE) instead of registry.db and are\n"
    "                      read back from it at the end; no display is used.  --time-limit\n"
    "                      bounds the whole run, the prefix's making and Wine's end included.\n"
    "                      Faults of the store (store-lock, the end point), com1-held and\n"
    "                      --reuse are not available\n"
    "  --wine-prefix DIR   with --wine: make the prefix in DIR (erased first if the board made\n"
    "                      it, refused if it is anything else) and keep it; by default it is\n"
    "                      ROOT/wine\n"
    "  --wine-display      with --wine: leave Wine's display driver on, so that the dialog\n"
    "                      shows on $DISPLAY (e.g. under xvfb-run, for a screenshot)\n"
    "\n"
    "On standard error the board names the device root when the run starts and again when it\n"
    "ends (a temporary root is removed then).  When the command fails (an exit status other\n"
    "than 0, or a signal) under a temporary root, its debug log is kept as\n"
    "virtual-board-debug.XXXXXX.log in $TMPDIR (or /tmp); the board says where, and the\n"
    "report's debug_log_kept names it.\n"
    "\n"
    "N is decimal or hexadecimal with 0x; S is decimal seconds.  Exit status: 2 usage error,\n"
    "1 the board or the command could not be run or the report not written, 0 otherwise (the\n"
    "command's own status is in the report).\n";

const char kFaultHelp[] =
    "Faults for --fault LIST, comma-separated; R is a read or write record from 6 on.\n"
    "\n"
    "Faults of the modem:\n"
    "  never-boot              the power key never starts the boot loader\n"
    "  boot-after-resets=N     the boot loader starts only from the Nth reset's power key on\n"
    "  id-split[=N]            the first N identifications (default all) in two late halves\n"
    "  id-shifted[=N]          the first N identifications one byte late (a 0x00 before)\n"
    "  id-wrong[=N]            the first N identifications end in 0x00 instead of 0xFF\n"
    "  ignore-speed            'S' '6' taken but the line's speed left as it is\n"
    "  restart-9600            the boot loader's beacon back at 9600 baud after an image\n"
    "  stray-bytes=N           how many stray bytes stray-before sends (default 1)\n"
    "  latency-ms=N            every answer N ms late\n"
    "  stray-before=R          stray bytes before the answer of read record R\n"
    "  wrong-answer=R          one byte of read record R's answer wrong\n"
    "  no-answer=R             no answer to read record R\n"
    "  partial-write=R         only half of write record R taken\n"
    "  Record faults take R[:M|:always][@sw|@fs]: the first M attempts (default 1) or every\n"
    "  one, in one image only or in both.\n"
    "\n"
    "Faults of the machine around the updater:\n"
    "  unplug=POINT            COM1's cable pulled: the updater's reads see a hang-up\n"
    "  store-lock=START+DUR    registry.db write-locked from START s after the start, DUR s\n"
    "  signal=NAME@POINT[xN]   SIGNAME (INT, TERM, HUP or KILL), N times (1 to 10) 1 s apart\n"
    "  shrink-regs=POINT       board.regs cut to 0 bytes (also written shrink-regs@POINT)\n"
    "  disk-full=POINT         the command's file writes fail with EFBIG past 48 bytes\n"
    "  com1-held               the board holds COM1 open and locked for the whole run\n"
    "\n"
    "POINT, optionally followed by +S for S seconds later:\n"
    "  start                   the command is running\n"
    "  handshake               the modem heard the first '?'\n"
    "  sw:N, fs:N              the modem confirmed record N of that image (a read record:\n"
    "                          just before its answer)\n"
    "  complete                the FS image's last record answered\n"
    "  end                     Progress 100 or -1 in the store\n"
    "A fault whose point never came is in the report's faults_pending.\n";

namespace {

// Longer than any run; keeps the microseconds far inside 64 bits.
constexpr double kMaxTimeLimitSeconds = 1e6;

bool KnownModemFault(std::string_view item) {
    const std::string_view name = item.substr(0, item.find('='));
    for (std::string_view known : sim::kModemFaultNames) {
        if (known == name)
            return true;
    }
    return false;
}

std::string_view Trim(std::string_view text) {
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos)
        return {};
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

class Parser {
  public:
    Parser(const std::vector<std::string>& args, Options* options, std::string* error)
        : args_(args), options_(options), error_(error) {}

    bool Run();

  private:
    bool Fail(const std::string& problem) {
        *error_ = problem;
        return false;
    }
    // The value of an option, given as "--name=value" or as the next argument.
    bool Value(const std::string& name, std::string* value);
    bool Number(const std::string& name, std::optional<uint32_t>* value);
    bool Bytes(const std::string& name, std::optional<uint64_t>* value);
    bool Seconds(const std::string& name, std::optional<int64_t>* value);
    bool Fault();
    bool FaultItem(std::string_view item);
    bool Check();
    bool CheckWine();
    bool Option(const std::string& name);

    const std::vector<std::string>& args_;
    Options* options_;
    std::string* error_;
    size_t next_ = 0;
    std::optional<std::string> inline_value_;
};

bool Parser::Value(const std::string& name, std::string* value) {
    if (inline_value_) {
        *value = *inline_value_;
        return true;
    }
    if (next_ >= args_.size())
        return Fail(name + " needs a value");
    *value = args_[next_++];
    return true;
}

bool Parser::Number(const std::string& name, std::optional<uint32_t>* value) {
    std::string text;
    if (!Value(name, &text))
        return false;
    *value = tools::ParseDword(text);
    return *value ? true : Fail(tools::BadNumber(name, text, "a DWORD"));
}

bool Parser::Bytes(const std::string& name, std::optional<uint64_t>* value) {
    std::string text;
    if (!Value(name, &text))
        return false;
    *value = tools::ParseNumber(text);
    return *value ? true : Fail(tools::BadNumber(name, text, "a number of bytes"));
}

bool Parser::Seconds(const std::string& name, std::optional<int64_t>* value) {
    std::string text;
    if (!Value(name, &text))
        return false;
    *value = tools::ParseSeconds(text, kMaxTimeLimitSeconds);
    if (!*value || **value <= 0)
        return Fail(tools::BadNumber(name, text, "a number of seconds above 0, up to 1000000"));
    return true;
}

// Every item goes to the board's faults or the modem's.
bool Parser::FaultItem(std::string_view item) {
    std::string problem;
    if (IsBoardFault(item)) {
        if (!ParseBoardFault(item, &options_->board_faults, &problem))
            return Fail("--fault: " + problem);
        return true;
    }
    if (!KnownModemFault(item))
        return Fail("--fault: unknown fault '" + std::string(item.substr(0, item.find('='))) +
                    "'; 'virtual-board --fault help' lists the faults");
    if (!sim::ParseFaults(item, &options_->faults, &problem))
        return Fail("--fault: " + problem);
    return true;
}

bool Parser::Fault() {
    std::string list;
    if (!Value("--fault", &list))
        return false;
    if (Trim(list) == "help") {
        options_->fault_help = true;
        return true;
    }
    std::string_view rest = list;
    if (!Trim(rest).empty()) {
        for (;;) {
            const size_t comma = rest.find(',');
            const std::string_view item = Trim(rest.substr(0, comma));
            if (item.empty())
                return Fail("--fault: empty fault in '" + list + "'");
            if (!FaultItem(item))
                return false;
            if (comma == std::string_view::npos)
                break;
            rest.remove_prefix(comma + 1);
        }
    }
    options_->fault_lists.push_back(list);
    return true;
}

bool Parser::Option(const std::string& name) {
    const bool flag = name == "--pace" || name == "--no-com1" || name == "--no-vei1" ||
                      name == "--reuse" || name == "--wine" || name == "--wine-display" ||
                      name == "--help" || name == "-h" || name == "--version";
    if (flag && inline_value_)
        return Fail(name + " takes no value");
    if (name == "--pace")
        options_->pace = true;
    else if (name == "--reuse")
        options_->reuse = true;
    else if (name == "--no-com1")
        options_->com1 = false;
    else if (name == "--no-vei1")
        options_->vei1 = false;
    else if (name == "--wine")
        options_->wine = true;
    else if (name == "--wine-display")
        options_->wine_display = true;
    else if (name == "--wine-prefix")
        return Value(name, &options_->wine_prefix.emplace());
    else if (name == "--help" || name == "-h")
        options_->help = true;
    else if (name == "--version")
        options_->version = true;
    else if (name == "--root")
        return Value(name, &options_->root.emplace());
    else if (name == "--report")
        return Value(name, &options_->report_path.emplace());
    else if (name == "--device-name")
        return Number(name, &options_->device_name);
    else if (name == "--reboot")
        return Number(name, &options_->reboot);
    else if (name == "--fault")
        return Fault();
    else if (name == "--fsize-limit")
        return Bytes(name, &options_->fsize_limit);
    else if (name == "--time-limit")
        return Seconds(name, &options_->time_limit_us);
    else if (name == "--thread-limit")
        return Number(name, &options_->thread_limit);
    else
        return Fail("unknown option " + name);
    return true;
}

bool Parser::Run() {
    while (next_ < args_.size()) {
        const std::string arg = args_[next_++];
        if (arg == "--")
            break;
        if (arg.size() < 2 || arg[0] != '-') {
            --next_;  // the command itself
            break;
        }
        const size_t eq = arg.find('=');
        inline_value_.reset();
        if (eq != std::string::npos)
            inline_value_ = arg.substr(eq + 1);
        if (!Option(arg.substr(0, eq)))
            return false;
    }
    options_->command.assign(args_.begin() + static_cast<std::ptrdiff_t>(next_), args_.end());
    if (options_->help || options_->version || options_->fault_help)
        return true;  // answered without a run
    if (options_->command.empty())
        return Fail("no command to run: give it after --, e.g. virtual-board -- gsm-updater");
    if (options_->root && options_->root->empty())
        return Fail("--root needs a folder");
    if (options_->report_path && options_->report_path->empty())
        return Fail("--report needs a file, or - for standard output");
    return Check();
}

// Options that make sense only together, or not at all together.
bool Parser::Check() {
    if (options_->reuse && !options_->root)
        return Fail("--reuse needs --root");
    if (options_->reuse && (options_->device_name || options_->reboot))
        return Fail("--reuse keeps the store as it is: no --device-name or --reboot");
    if (options_->board_faults.com1_held && !options_->com1)
        return Fail("com1-held needs dev/COM1: not with --no-com1");
    if (options_->board_faults.unplug && !options_->com1)
        return Fail("unplug needs dev/COM1: not with --no-com1");
    if (options_->thread_limit && *options_->thread_limit == 0)
        return Fail("--thread-limit needs at least 1");
    return options_->wine || options_->wine_prefix || options_->wine_display ? CheckWine() : true;
}

// What the board cannot do around a Windows program: its store is Wine's registry, which Wine
// writes when its server ends, and its COM1 lock is a Windows mutex.
bool Parser::CheckWine() {
    if (!options_->wine)
        return Fail(options_->wine_prefix ? "--wine-prefix needs --wine"
                                          : "--wine-display needs --wine");
    if (options_->wine_prefix && options_->wine_prefix->empty())
        return Fail("--wine-prefix needs a folder");
    if (options_->reuse)
        return Fail("--reuse: not available with --wine");
    const BoardFaults& faults = options_->board_faults;
    if (faults.store_lock)
        return Fail("--fault " + faults.store_lock->text + ": not available with --wine");
    if (faults.com1_held)
        return Fail("--fault com1-held: not available with --wine");
    std::vector<const std::string*> at_end;
    for (const std::optional<PointFault>* fault :
         {&faults.unplug, &faults.shrink_regs, &faults.disk_full}) {
        if (*fault && (*fault)->point.kind == Point::Kind::kEnd)
            at_end.push_back(&(*fault)->text);
    }
    for (const SignalFault& fault : faults.signals) {
        if (fault.point.kind == Point::Kind::kEnd)
            at_end.push_back(&fault.text);
    }
    if (!at_end.empty())
        return Fail("--fault " + *at_end.front() + ": not available with --wine");
    return true;
}

}  // namespace

bool ParseOptions(const std::vector<std::string>& args, Options* options, std::string* error) {
    return Parser(args, options, error).Run();
}

}  // namespace vboard
