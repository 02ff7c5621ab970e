#include "support/sandbox.h"

#include <atomic>
#include <string>

#include "platform/file_system.h"
#include "platform/process.h"
#include "platform/text.h"
#include "platform/users.h"

namespace {

std::u16string number(std::uint64_t value) {
  const std::string digits = std::to_string(value);
  return std::u16string(digits.begin(), digits.end());
}

std::u16string join(std::u16string base, std::u16string_view part) {
  if (!base.empty() && base.back() != platform::path_separator) base += platform::path_separator;
  base += part;
  return base;
}

}  // namespace

Sandbox::Sandbox() {
  static std::atomic<unsigned> counter{0};
  saved_tmp_ = platform::environment_variable(u"TMP");
  saved_temp_ = platform::environment_variable(u"TEMP");
  saved_tmpdir_ = platform::environment_variable(u"TMPDIR");
  const std::u16string base = platform::temp_folder();
  for (;;) {
    root_ = join(base, u"corvalis-test-" + number(platform::current_process_id()) + u"-" +
                           number(platform::tick_count()) + u"-" + number(counter++));
    if (platform::create_folder(root_) == platform::CreateFolderResult::created) break;
  }
  temp_ = join(root_, u"temp");
  platform::create_folder(temp_);
  platform::set_environment_variable_for_testing(u"TMP", temp_);
  platform::set_environment_variable_for_testing(u"TEMP", temp_);
  platform::set_environment_variable_for_testing(u"TMPDIR", temp_);
}

Sandbox::~Sandbox() {
  auto restore = [](const char16_t* name, const std::u16string& value) {
    platform::set_environment_variable_for_testing(name, value, value.empty());
  };
  restore(u"TMP", saved_tmp_);
  restore(u"TEMP", saved_temp_);
  restore(u"TMPDIR", saved_tmpdir_);
  erase_tree(root_);
}

std::u16string Sandbox::path(std::u16string_view relative) const {
  std::u16string native(relative);
  for (char16_t& unit : native) {
    if (unit == u'/') unit = platform::path_separator;
  }
  return join(root_, native);
}

void put_file(const std::u16string& path, std::string_view content) {
  platform::File file;
  if (file.open(path, platform::File::Mode::write_exclusive)) {
    file.write(content.data(), content.size());
  }
}

std::string file_content(const std::u16string& path) {
  platform::File file;
  std::uint64_t size = 0;
  if (!file.open(path, platform::File::Mode::read_shared) || !file.size(size)) return {};
  std::string content(size, '\0');
  if (size && !file.read(content.data(), content.size())) return {};
  return content;
}

void erase_tree(const std::u16string& path) {
  platform::FolderListing listing;
  if (listing.open(path, u"*")) {
    platform::FolderEntry entry;
    while (listing.next(entry)) {
      const std::u16string child = join(path, entry.name);
      platform::reset_attributes(child);
      if (entry.is_folder && !entry.is_link) {
        erase_tree(child);
      } else if (entry.is_folder) {
        platform::remove_folder(child);
      } else {
        platform::delete_file(child);
      }
    }
  }
  platform::remove_folder(path);
}
