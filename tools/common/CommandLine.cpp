#include "CommandLine.h"

#include <algorithm>
#include <cctype>
#include <map>

namespace tools {

namespace {

// CLI11 hands an option the next word as its value whatever the word is, so `--json --trace`
// would write a file named --trace. The words an option may not take as its value: another
// option of the tool, or anything that looks like a long option.
bool LooksLikeOption(const CLI::App &app, const std::string &word) {
  return word.rfind("--", 0) == 0 ||
         (word.size() > 1 && word[0] == '-' && app.get_option_no_throw(word) != nullptr);
}

const CLI::Option *FindOption(const CLI::App &app, const std::string &name) {
  if (const CLI::Option *option = app.get_option_no_throw(name)) return option;
  for (const CLI::App *sub : app.get_subcommands([](const CLI::App *) { return true; })) {
    if (const CLI::Option *option = sub->get_option_no_throw(name)) return option;
  }
  return nullptr;
}

bool IsFlag(const CLI::Option &option) {
  return !option.get_positional() && option.get_expected_max() == 0;
}

// What CLI11 lets through and we do not: a value that is an option, a flag with a value, an
// option meant once given twice. Words after "--" are arguments, whatever they look like.
std::string CheckOptionWords(const CLI::App &app, const std::vector<std::string> &args) {
  std::map<const CLI::Option *, int> seen;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string &word = args[i];
    if (word == "--") break;
    if (word.size() < 2 || word[0] != '-') continue;
    const size_t equals = word.find('=');
    const std::string name = word.substr(0, equals);
    const CLI::Option *option = FindOption(app, name);
    if (option == nullptr) continue;  // unknown: named once CLI11 has sorted the line
    if (IsFlag(*option)) {
      if (equals != std::string::npos) return "option " + name + " takes no value";
      continue;
    }
    if (++seen[option] > 1 && option->get_multi_option_policy() == CLI::MultiOptionPolicy::Throw) {
      return "option " + name + " is given twice";
    }
    if (equals + 1 == word.size()) return "option " + name + " needs a value";
    if (equals != std::string::npos) continue;
    if (i + 1 == args.size()) return "option " + name + " needs a value";
    if (LooksLikeOption(app, args[i + 1])) {
      return "option " + name + " needs a value (it is followed by the option '" +
             Printable(args[i + 1]) + "')";
    }
    ++i;
  }
  return "";
}

size_t EditDistance(const std::string &a, const std::string &b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1])});
      diagonal = above;
    }
  }
  return row[b.size()];
}

std::string Lower(std::string text) {
  for (char &c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// The known long option nearest to a mistyped one, ignoring case, within three edits and fewer
// edits than the word has letters; "" when none is.
std::string NearestOption(const CLI::App &app, const std::string &word) {
  const size_t start = word.find_first_not_of('-');
  const std::string stripped = Lower(start == std::string::npos ? "" : word.substr(start));
  std::string nearest;
  size_t best = std::min<size_t>(4, stripped.size());
  for (const CLI::Option *option : app.get_options()) {
    for (const std::string &name : option->get_lnames()) {
      const size_t distance = EditDistance(stripped, Lower(name));
      if (distance < best) {
        best = distance;
        nearest = "--" + name;
      }
    }
  }
  return nearest;
}

std::string UnknownWord(const CLI::App &app, const std::string &word) {
  if (word.size() < 2 || word[0] != '-') {
    return "unexpected argument '" + Printable(word) + "' (see --help)";
  }
  const std::string name = word.substr(0, word.find('='));
  const std::string nearest = NearestOption(app, name);
  return "unknown option '" + Printable(name) + "'" +
         (nearest.empty() ? "" : "; nearest: " + nearest) + " (see --help)";
}

}  // namespace

CLI::Option *AddValue(CLI::App &app, const std::string &name, std::string &value) {
  return app.add_option(name, value)
      ->expected(1)
      ->multi_option_policy(CLI::MultiOptionPolicy::Throw);
}

CLI::Option *AddValue(CLI::App &app, const std::string &name) {
  return app.add_option(name)->expected(1)->multi_option_policy(CLI::MultiOptionPolicy::Throw);
}

CLI::Option *AddValues(CLI::App &app, const std::string &name) {
  return app.add_option(name)->expected(1)->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
}

CLI::Option *AddFlag(CLI::App &app, const std::string &name) { return app.add_flag(name); }

std::string ParseCommandLine(CLI::App &app, const std::vector<std::string> &args) {
  if (std::string why = CheckOptionWords(app, args); !why.empty()) return why;
  // Unknown words are kept aside and named below, with the nearest option for a near miss.
  app.allow_extras();
  for (CLI::App *sub : app.get_subcommands([](const CLI::App *) { return true; })) {
    sub->allow_extras();
  }
  std::vector<std::string> reversed(args.rbegin(), args.rend());
  try {
    app.parse(reversed);
  } catch (const CLI::ParseError &error) {
    return Printable(error.what(), 200);
  }
  for (const std::string &word : app.remaining(true)) {
    if (word != "--") return UnknownWord(app, word);
  }
  return "";
}

std::string Printable(const std::string &text, size_t most) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (out.size() >= most) return out + "... (" + std::to_string(text.size()) + " bytes)";
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
    } else {
      out += std::string("\\x") + kDigits[c >> 4] + kDigits[c & 0xF];
    }
  }
  return out;
}

}  // namespace tools
