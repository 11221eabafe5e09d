#include "lib/base/command-line.h"

#include <getopt.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "lib/base/utility.h"

namespace cli {

namespace {

// getopt_long's value for an option without a letter: its index, above
// every character.
constexpr int kLongOnly = 0x1000;

std::vector<Option> WithStandardOptions(const Program& p) {
  std::vector<Option> all = p.options;
  all.push_back({"help", 'h', nullptr, "show this help and exit", nullptr});
  all.push_back({"version", 'V', nullptr, "show the version and exit", nullptr});
  return all;
}

std::string Spelling(const Option& o) {
  std::string s = o.letter != 0 ? std::string("-") + o.letter + ", " : "    ";
  s += std::string("--") + o.name;
  if (o.value != nullptr) s += std::string(" ") + o.value;
  return s;
}

}  // namespace

int UsageError(const Program& p, const std::string& what) {
  std::fprintf(stderr, "%s: %s (%s --help lists the options)\n", p.name.c_str(), what.c_str(),
               p.name.c_str());
  return kExitUsage;
}

std::string VersionText(const std::string& name, const std::string& version,
                        const std::string& commit) {
  std::string s = name + " " + version;
  if (!commit.empty()) s += " (commit " + commit + ")";
  return s;
}

std::string HelpText(const Program& p) {
  std::string out;
  for (size_t i = 0; i < p.usage.size(); ++i)
    out += (i == 0 ? "usage: " : "       ") + p.name + " " + p.usage[i] + "\n";
  if (!p.about.empty()) out += "\n" + p.about;
  const std::vector<Option> all = WithStandardOptions(p);
  size_t width = 0;
  for (const Option& o : all) width = std::max(width, Spelling(o).size());
  out += "\noptions:\n";
  for (const Option& o : all) {
    const std::string s = Spelling(o);
    out += "  " + s + std::string(width - s.size() + 2, ' ') + o.help + "\n";
  }
  if (!p.more.empty()) out += "\n" + p.more;
  return out;
}

std::string TakeNumber(const char* value, uint64_t min, uint64_t max, uint64_t& out) {
  uint64_t n = 0;
  if (value != nullptr && ParseDecimal(std::string_view(value), max, n) && n >= min) {
    out = n;
    return "";
  }
  return "'" + std::string(value == nullptr ? "" : value) + "' is not a number from " +
         std::to_string(min) + " to " + std::to_string(max);
}

int Parse(const Program& p, int argc, char** argv, std::vector<std::string>& operands) {
  const std::vector<Option> all = WithStandardOptions(p);
  // ':' first: a missing value is told apart from an unknown option.
  std::string letters = ":";
  std::vector<struct option> longs;
  for (size_t i = 0; i < all.size(); ++i) {
    const Option& o = all[i];
    const int has_arg = o.value != nullptr ? required_argument : no_argument;
    longs.push_back(
        {o.name, has_arg, nullptr, o.letter != 0 ? o.letter : kLongOnly + static_cast<int>(i)});
    if (o.letter != 0) {
      letters += o.letter;
      if (o.value != nullptr) letters += ':';
    }
  }
  longs.push_back({nullptr, 0, nullptr, 0});

  bool help = false, version = false;
  opterr = 0;  // every message is ours
  optind = 0;  // 0, not 1: getopt_long starts over (also for a second parse)
  for (;;) {
    int index = -1;
    // The programs parse their options at start, before any thread.
    // NOLINTNEXTLINE(concurrency-mt-unsafe)
    const int c = getopt_long(argc, argv, letters.c_str(), longs.data(), &index);
    if (c == -1) break;
    // The text the user wrote for the option at hand.
    const std::string written = optind > 0 && optind <= argc ? argv[optind - 1] : std::string("?");
    if (c == '?') {
      if (optopt != 0 && optopt < kLongOnly)
        return UsageError(p, std::string("unknown option -") + static_cast<char>(optopt));
      return UsageError(p, "unknown option " + written.substr(0, written.find('=')));
    }
    if (c == ':') {
      return UsageError(p, "option " + written.substr(0, written.find('=')) + " needs a value");
    }
    const Option* o = nullptr;
    for (const Option& cand : all) {
      if ((cand.letter != 0 && c == cand.letter) ||
          (c >= kLongOnly && &cand == &all[static_cast<size_t>(c - kLongOnly)])) {
        o = &cand;
        break;
      }
    }
    if (o == nullptr) return UsageError(p, "unknown option " + written);
    if (std::strcmp(o->name, "help") == 0) {
      help = true;
    } else if (std::strcmp(o->name, "version") == 0) {
      version = true;
    } else if (o->take) {
      const std::string why = o->take(optarg);
      if (!why.empty()) return UsageError(p, std::string("--") + o->name + ": " + why);
    }
  }
  if (help) {
    std::fputs(HelpText(p).c_str(), stdout);
    return 0;
  }
  if (version) {
    std::printf("%s\n", p.version.c_str());
    return 0;
  }
  operands.assign(argv + optind, argv + argc);
  if (operands.size() > p.max_operands)
    return UsageError(p, "extra operand '" + operands[p.max_operands] + "'");
  return kRun;
}

}  // namespace cli
