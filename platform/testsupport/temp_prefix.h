// A temporary prefix for one test: sets ZEMIR_PREFIX, removes the folder afterwards.
#pragma once
#include <string>

namespace zemir::test {

class TempPrefix {
 public:
  TempPrefix();
  ~TempPrefix();
  TempPrefix(const TempPrefix&) = delete;
  TempPrefix& operator=(const TempPrefix&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  std::string old_;
  bool hadOld_ = false;
};

// The folder with the built programs and modules (ZEMIR_BUILD_BIN, set by CTest).
std::string BuildBin();

// Reads a whole file; empty when missing.
std::string ReadFile(const std::string& path);

}  // namespace zemir::test
