#include "app/entry.h"
#include "platform/process.h"

int main(int argc, char** argv) {
  platform::restrict_library_search();
  platform::remember_arguments(argc, argv);
  return run_program();
}
