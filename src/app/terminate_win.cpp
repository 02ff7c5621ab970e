// Only in the Windows program: replaces libstdc++'s verbose terminate handler, which writes the
// escaped exception's demangled type to stderr. A GUI program has no stderr to read it on, and
// the handler alone brings in the whole C++ demangler and a printf, about a sixth of the
// executable. std::terminate still ends the process the same way.

#include <cstdlib>

namespace __gnu_cxx {

void __verbose_terminate_handler() {
  std::abort();
}

}  // namespace __gnu_cxx
