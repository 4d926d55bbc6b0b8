// Running the built programs from a test: spawn with standard input from /dev/null and the
// output in files, wait, read what they left.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

namespace testproc {

// BIN_DIR/name, BIN_DIR being the build's folder of programs.
std::string Program(const std::string& name);
std::string ReadFile(const std::filesystem::path& path);
// What a shell command prints on its standard output.
std::string Output(const std::string& command);
// How many times `part` stands in `text`.
int Count(const std::string& text, const std::string& part);

// Starts args[0] with the environment plus `env` (NAME=VALUE entries, which win), standard
// output and error into the two files; -1 when it could not be started.
pid_t Spawn(const std::vector<std::string>& args, const std::string& out_path,
            const std::string& err_path, const std::vector<std::string>& env = {});
// Waits for the process; its exit status, or -1 when it died of a signal.
int Wait(pid_t pid);
// Spawn and Wait; -2 when it could not be started.
int Run(const std::vector<std::string>& args, const std::string& out_path,
        const std::string& err_path, const std::vector<std::string>& env = {});

}  // namespace testproc
