#include "ui/progress.h"

void report_progress(WindowReference window, std::u16string_view heading,
                     std::u16string_view detail, int position) {
  if (!window) return;
  window->set_heading(heading);
  window->set_detail(detail);
  window->set_progress(position);
}
