// The boot cost report: instructions the drivers execute in each pass, from callgrind profiles
// collected only while that pass ran. Only the self cost of functions in the drivers' own
// objects counts; the emulator's services, protocols and DXE core are the platform's work.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <map>
#include <sstream>

#include "Board.h"
#include "Budgets.h"
#include "CommandLine.h"
#include "InputFile.h"

namespace budgets {

namespace {

const char *const kDriverObjects[] = {"BoardSlotService.so", "MenuPruner.so"};

struct PassCost {
  std::string label;
  std::string driver;  // the driver object that did the work
  unsigned long long instructions = 0;
  std::map<std::string, unsigned long long> functions;  // self cost by function
};

std::string DriverOf(const std::string &object) {
  const size_t slash = object.find_last_of('/');
  const std::string name = slash == std::string::npos ? object : object.substr(slash + 1);
  for (const char *driver : kDriverObjects) {
    if (name == driver) return name.substr(0, name.size() - 3);
  }
  return std::string();
}

// Callgrind's format, written with --compress-strings=no --compress-pos=no: "ob=" names the
// object of the functions that follow, "fn=" the function whose costs follow; a cost line after
// "calls=" is the call's inclusive cost, not the caller's own.
bool ReadProfile(const std::string &path, PassCost &pass, std::string &why) {
  std::string text;
  why = tools::ReadInputFile(path, tools::kMaxProfileSize, text);
  if (!why.empty()) return false;
  std::istringstream in(text);
  std::string line, object, function, driver;
  bool callCost = false;
  while (std::getline(in, line)) {
    if (line.rfind("ob=", 0) == 0) {
      object = line.substr(3);
    } else if (line.rfind("fn=", 0) == 0) {
      function = line.substr(3);
      driver = DriverOf(object);
    } else if (line.rfind("calls=", 0) == 0) {
      callCost = true;
    } else if (!line.empty() && (std::isdigit(static_cast<unsigned char>(line[0])) ||
                                 line[0] == '+' || line[0] == '-' || line[0] == '*')) {
      if (callCost) {
        callCost = false;
        continue;
      }
      if (driver.empty()) continue;
      unsigned long long position = 0, cost = 0;
      if (std::sscanf(line.c_str(), "%llu %llu", &position, &cost) != 2) continue;
      pass.instructions += cost;
      pass.functions[function] += cost;
      pass.driver = driver;
    }
  }
  return true;
}

size_t DefaultBoardHobs() {
  std::vector<uint8_t> list = emu::BuildHobList(emu::DefaultBoard());
  size_t count = 0;
  for (size_t at = 0; at + sizeof(EFI_HOB_GENERIC_HEADER) <= list.size(); ++count) {
    EFI_HOB_GENERIC_HEADER header;
    std::memcpy(&header, list.data() + at, sizeof(header));
    if (header.HobType == EFI_HOB_TYPE_END_OF_HOB_LIST || header.HobLength == 0) break;
    at += header.HobLength;
  }
  return count + 1;
}

}  // namespace

bool ReportBootCost(const std::vector<std::string> &namesAndProfiles, std::ostream &out) {
  std::vector<PassCost> passes;
  for (size_t i = 0; i + 1 < namesAndProfiles.size(); i += 2) {
    PassCost pass;
    pass.label = namesAndProfiles[i];
    std::string why;
    if (!ReadProfile(namesAndProfiles[i + 1], pass, why)) {
      std::fprintf(stderr, "budgets: cannot read %s: %s\n",
                   tools::Printable(namesAndProfiles[i + 1], 200).c_str(), why.c_str());
      return false;
    }
    passes.push_back(std::move(pass));
  }

  char text[256];
  out << "Boot cost: instructions executed inside the drivers in each pass of the default boot\n"
         "(the default board: "
      << DefaultBoardHobs()
      << " HOBs in the list), counted by callgrind on the host build, whose driver objects\n"
         "are compiled with the images' flags (-Os). Only the drivers' own instructions count;\n"
         "the emulator's services and protocols are left out. Every pass ran once.\n"
      << "Budget: " << kBootBudget << " for the whole boot, " << kPassBudget
      << " for any one pass.\n\n";
  std::snprintf(text, sizeof(text), "%-40s %-18s %12s\n", "pass", "driver", "instructions");
  out << text;
  unsigned long long total = 0;
  bool within = true;
  for (const PassCost &pass : passes) {
    std::snprintf(text, sizeof(text), "%-40s %-18s %12llu%s\n", pass.label.c_str(),
                  pass.driver.empty() ? "-" : pass.driver.c_str(), pass.instructions,
                  pass.instructions > kPassBudget ? "  OVER the pass budget" : "");
    out << text;
    total += pass.instructions;
    within = within && pass.instructions <= kPassBudget;
  }
  std::snprintf(text, sizeof(text), "%-40s %-18s %12llu  %s\n", "whole boot", "", total,
                total <= kBootBudget ? "within the budget" : "OVER the budget");
  out << text;
  within = within && total <= kBootBudget;
  out << (within ? "Every pass and the whole boot are within their budgets.\n"
                 : "A budget is exceeded.\n");

  out << "\nWhere each pass spends them (the driver's functions, own instructions):\n";
  for (const PassCost &pass : passes) {
    std::vector<std::pair<std::string, unsigned long long>> functions(pass.functions.begin(),
                                                                      pass.functions.end());
    std::sort(functions.begin(), functions.end(),
              [](const auto &a, const auto &b) { return a.second > b.second; });
    out << "  " << pass.label << ":";
    for (size_t i = 0; i < functions.size() && i < 5; ++i) {
      std::string name = functions[i].first.substr(0, functions[i].first.find('('));
      out << (i == 0 ? " " : ", ") << name << " " << functions[i].second;
    }
    out << "\n";
  }
  return true;
}

}  // namespace budgets
