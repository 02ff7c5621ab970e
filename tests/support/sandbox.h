#pragma once

// A fresh folder for one test, removed with everything in it when the test ends. While it
// lives, the user's temporary folder points into it (TMP and TEMP on Windows, TMPDIR on POSIX),
// so nothing a test does reaches the real temporary folder or log.

#include <string>
#include <string_view>

class Sandbox {
 public:
  Sandbox();
  Sandbox(const Sandbox&) = delete;
  Sandbox& operator=(const Sandbox&) = delete;
  ~Sandbox();

  const std::u16string& root() const { return root_; }
  // root + separator + relative ('/' in `relative` becomes the platform separator).
  std::u16string path(std::u16string_view relative) const;
  // The temporary folder the sandbox hands to the code under test.
  const std::u16string& temp() const { return temp_; }

 private:
  std::u16string root_, temp_, saved_tmp_, saved_temp_, saved_tmpdir_;
};

// Writes or reads a whole file with the platform layer (test set-up, not the code under test).
void put_file(const std::u16string& path, std::string_view content);
std::string file_content(const std::u16string& path);  // empty when missing

// Removes a folder tree for the test's own clean-up (never follows links).
void erase_tree(const std::u16string& path);
