// The report's tables: a heading row, then rows, each column as wide as its widest cell, two
// blanks between columns, no blanks at the end of a line.
#ifndef EMULATOR_INTERNAL_TEXT_TABLE_H_
#define EMULATOR_INTERNAL_TEXT_TABLE_H_

#include <algorithm>
#include <ostream>
#include <string>
#include <vector>

namespace emu {

class TextTable {
 public:
  explicit TextTable(std::vector<std::string> headings) { rows_.push_back(std::move(headings)); }
  void Add(std::vector<std::string> row) { rows_.push_back(std::move(row)); }
  size_t Rows() const { return rows_.size() - 1; }

  void Print(std::ostream &out, const std::string &indent = "  ") const {
    std::vector<size_t> widths;
    for (const auto &row : rows_) {
      if (widths.size() < row.size()) widths.resize(row.size(), 0);
      for (size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], row[i].size());
    }
    for (const auto &row : rows_) {
      std::string line = indent;
      for (size_t i = 0; i < row.size(); ++i) {
        line += row[i];
        if (i + 1 < row.size()) line += std::string(widths[i] - row[i].size() + 2, ' ');
      }
      while (!line.empty() && line.back() == ' ') line.pop_back();
      out << line << "\n";
    }
  }

 private:
  std::vector<std::vector<std::string>> rows_;
};

}  // namespace emu

#endif  // EMULATOR_INTERNAL_TEXT_TABLE_H_
