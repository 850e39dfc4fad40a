#pragma once

#include <string>

namespace vbk::testing {

// A fresh directory under $TMPDIR (or /tmp), removed with everything in it
// when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  // path() + "/" + name
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// The whole contents of a file ("" when it does not exist); for assertions.
std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& bytes);

}  // namespace vbk::testing
