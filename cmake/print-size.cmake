# Prints the size of a built program beside its budget; a program over budget gets a warning,
# not a failed build, so the figure is seen while it is worked on.
#   cmake -DPROGRAM=<file> -DBUDGET_KIB=<KiB> -P print-size.cmake
file(SIZE "${PROGRAM}" bytes)
math(EXPR kib "(${bytes} + 1023) / 1024")
get_filename_component(name "${PROGRAM}" NAME)
if(kib GREATER BUDGET_KIB)
  message(WARNING "${name}: ${bytes} bytes (${kib} KiB), over its budget of ${BUDGET_KIB} KiB")
else()
  message("${name}: ${bytes} bytes (${kib} KiB of a ${BUDGET_KIB} KiB budget)")
endif()
