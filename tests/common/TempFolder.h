// A folder of a test's own under the test temporary folder (mkdtemp), removed with everything in
// it: tests that run side by side never share a path.
#ifndef TESTS_COMMON_TEMP_FOLDER_H_
#define TESTS_COMMON_TEMP_FOLDER_H_

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "Tests.h"

namespace test {

class TempFolder {
 public:
  TempFolder() {
    std::string pattern = testing::TempDir() + "/boardtest.XXXXXX";
    if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~TempFolder() {
    if (!path_.empty()) Run("rm -rf '" + path_ + "'");
  }
  TempFolder(const TempFolder &) = delete;
  TempFolder &operator=(const TempFolder &) = delete;
  const std::string &path() const { return path_; }
  std::string operator/(const std::string &name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

}  // namespace test

#endif  // TESTS_COMMON_TEMP_FOLDER_H_
