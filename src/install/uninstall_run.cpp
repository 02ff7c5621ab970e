#include "install/uninstall_run.h"

#include "log/setup_log.h"

void uninstall_run(const RunSettings&, WindowReference window) {
  log_line("Removing");
  report_progress(window, u"Removing Corvalis\u2026", u"", 10);
  log_line("Done");
}
