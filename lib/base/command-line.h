// One command line for every program of the project (the daemon, the
// monitor, the server and the relay): GNU-style options read with
// getopt_long, `--help` on standard output with status 0, `--version`, and a
// usage error as one line on standard error with status 2.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace cli {

// The exit status after a usage error, as for most programs on the system.
constexpr int kExitUsage = 2;
// Parse's result when the program should run.
constexpr int kRun = -1;

struct Option {
  const char* name;   // the long name, without "--"
  char letter;        // the short name; 0 when there is none
  const char* value;  // the value's name in the help ("PATH"); nullptr for a flag
  const char* help;   // its text in the help
  // Called for each occurrence, in order, with its value (nullptr for a
  // flag). Returns "" to accept it, otherwise why it is refused, one phrase
  // ("not a port (0 to 65535)").
  std::function<std::string(const char* value)> take;
};

struct Program {
  std::string name;                // as installed: "syncfolder"
  std::string version;             // VersionText's result
  std::vector<std::string> usage;  // the forms after "usage: NAME ", one per line
  std::string about;               // what it does (whole lines, each ending in '\n')
  std::vector<Option> options;     // --help and --version are added to them
  std::string more;                // after the options (whole lines)
  size_t max_operands = SIZE_MAX;
};

// "NAME VERSION", followed by " (commit HASH)" when `commit` is not empty.
std::string VersionText(const std::string& name, const std::string& version,
                        const std::string& commit);
// The text --help writes.
std::string HelpText(const Program& p);

// Reads argv[1..argc-1]. Returns kRun with the operands (the arguments that
// are not options, in order) in `operands` when the program should run;
// otherwise the status to exit with: 0 once --help or --version has been
// written to standard output, kExitUsage once a usage error has been written
// to standard error as one line naming the program. Options may follow
// operands; "--" ends the options. Not thread-safe: getopt_long keeps its
// state in globals.
[[nodiscard]] int Parse(const Program& p, int argc, char** argv,
                        std::vector<std::string>& operands);

// Writes "NAME: WHAT (NAME --help lists the options)" to standard error and
// returns kExitUsage: for the checks a program makes of its operands.
[[nodiscard]] int UsageError(const Program& p, const std::string& what);

// Reads a whole decimal number from `min` to `max` for an Option's `take`:
// "" with `out` set, or the reason it is refused.
std::string TakeNumber(const char* value, uint64_t min, uint64_t max, uint64_t& out);

}  // namespace cli
