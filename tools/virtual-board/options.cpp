// Command-line parsing for the virtual board.
#include "tools/virtual-board/options.h"

#include <cerrno>
#include <cstdlib>

namespace vboard {

const char kUsage[] =
    "usage: virtual-board [--root DIR] [--pace] [--device-name N] [--reboot N]\n"
    "                     [--fault LIST]... [--no-com1] [--no-vei1] [--report FILE]\n"
    "                     -- COMMAND [ARG...]\n"
    "\n"
    "Provisions a device root (pseudo-terminals for COM1: and VEI1:, the register file, the\n"
    "registry store with the UART0 driver's key, the loaded radio drivers and a phone radio\n"
    "that is on), runs the modem model on COM1 and records the AT commands on VEI1, runs\n"
    "COMMAND with UPDATER_ROOT set and the terminal passed through, and prints a JSON report\n"
    "of what the board saw once COMMAND has ended.\n"
    "\n"
    "  --root DIR        use DIR as the device root and keep it (re-provisioned if it\n"
    "                    exists); by default a temporary root is made and removed\n"
    "  --pace            carry bytes at the line's bit rate (10 bit times a byte)\n"
    "  --device-name N   store DeviceName = N in Software\\QZX\\Kelvaro\n"
    "  --reboot N        store Reboot = N there\n"
    "  --fault LIST      modem faults, e.g. wrong-answer=700:2@sw,latency-ms=5 (repeatable)\n"
    "  --no-com1         leave dev/COM1 out, so that COM1: cannot be opened\n"
    "  --no-vei1         leave dev/VEI1 out, as on a board without the multiplexer\n"
    "  --report FILE     write the report to FILE instead of standard output\n"
    "\n"
    "N is decimal or hexadecimal with 0x.  Exit status: 2 usage error, 1 the board or the\n"
    "command could not be run or the report not written, 0 otherwise (the command's own\n"
    "status is in the report).\n";

namespace {

bool ParseDword(const std::string& text, uint32_t* value) {
    if (text.empty() || text[0] == '-' || text[0] == '+' || text[0] == ' ')
        return false;
    char* end = nullptr;
    errno = 0;
    const unsigned long long number = std::strtoull(text.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || number > UINT32_MAX)
        return false;
    *value = static_cast<uint32_t>(number);
    return true;
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
    bool Fault();
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
    uint32_t number = 0;
    if (!ParseDword(text, &number))
        return Fail(name + ": '" + text + "' is not a DWORD");
    *value = number;
    return true;
}

bool Parser::Fault() {
    std::string list;
    if (!Value("--fault", &list))
        return false;
    std::string problem;
    if (!sim::ParseFaults(list, &options_->faults, &problem))
        return Fail("--fault: " + problem);
    options_->fault_lists.push_back(list);
    return true;
}

bool Parser::Option(const std::string& name) {
    const bool flag = name == "--pace" || name == "--no-com1" || name == "--no-vei1" ||
                      name == "--help" || name == "-h";
    if (flag && inline_value_)
        return Fail(name + " takes no value");
    if (name == "--pace")
        options_->pace = true;
    else if (name == "--no-com1")
        options_->com1 = false;
    else if (name == "--no-vei1")
        options_->vei1 = false;
    else if (name == "--help" || name == "-h")
        options_->help = true;
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
    if (options_->command.empty() && !options_->help)
        return Fail("no command to run");
    if (options_->root && options_->root->empty())
        return Fail("--root needs a folder");
    if (options_->report_path && options_->report_path->empty())
        return Fail("--report needs a file");
    return true;
}

}  // namespace

bool ParseOptions(const std::vector<std::string>& args, Options* options, std::string* error) {
    return Parser(args, options, error).Run();
}

}  // namespace vboard
