#pragma once

// Sets (or, with a null value, removes) an environment variable for one scope and puts the old
// value back afterwards.

#include <string>
#include <utility>

#include "platform/process.h"

class ScopedVariable {
 public:
  ScopedVariable(std::u16string name, const std::u16string* value)
      : name_(std::move(name)), saved_(platform::environment_variable(name_)) {
    platform::set_environment_variable_for_testing(name_, value ? *value : u"", value == nullptr);
  }
  ScopedVariable(std::u16string name, const std::u16string& value) : ScopedVariable(name, &value) {}
  ScopedVariable(const ScopedVariable&) = delete;
  ScopedVariable& operator=(const ScopedVariable&) = delete;
  ~ScopedVariable() {
    platform::set_environment_variable_for_testing(name_, saved_, saved_.empty());
  }

 private:
  std::u16string name_, saved_;
};
