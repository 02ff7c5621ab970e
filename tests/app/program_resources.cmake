# Reads the built Windows program back with the cross tools: a GUI-subsystem executable with the
# manifest, the nine icon sizes and the version strings (its imports: system_imports.cmake).
# Called as: cmake -DPROGRAM=... -DOBJDUMP=... -DWINDRES=... -P program_resources.cmake
cmake_minimum_required(VERSION 3.25)
execute_process(COMMAND "${OBJDUMP}" -p "${PROGRAM}" OUTPUT_VARIABLE headers RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "objdump could not read ${PROGRAM}")
endif()
execute_process(COMMAND "${WINDRES}" -i "${PROGRAM}" -J coff -O rc OUTPUT_VARIABLE resources
                RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "windres could not list the resources of ${PROGRAM}")
endif()

set(problems "")
function(expect text where what)
  string(FIND "${${where}}" "${text}" at)
  if(at EQUAL -1)
    set(problems "${problems}  missing ${what}: ${text}\n" PARENT_SCOPE)
  endif()
endfunction()

expect("(Windows GUI)" headers "GUI subsystem")

# windres writes quotes in the manifest doubled, as the rc language wants them.
expect("requestedExecutionLevel level=\"\"requireAdministrator\"\" uiAccess=\"\"false\"\"" resources "execution level")
expect(">true/pm</dpiAware>" resources "DPI awareness (old form)")
expect(">PerMonitorV2, PerMonitor</dpiAwareness>" resources "DPI awareness")
expect(">true</longPathAware>" resources "long path awareness")
expect("supportedOS Id=\"\"{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}\"\"" resources "Windows 10 compatibility")
expect("name=\"\"Microsoft.Windows.Common-Controls\"\" version=\"\"6.0.0.0\"\"" resources "common controls 6")
expect("name=\"\"Corvalis.Setup\"\" version=\"\"1.0.0.0\"\"" resources "assembly identity")
expect("processorArchitecture=\"\"amd64\"\"" resources "architecture")
expect("<description>Corvalis Setup</description>" resources "assembly description")

# Icon group 1: nine 32-bit images, 16 to 256 pixels (windres shows sizes as octal escapes; 0 is
# 256).
string(FIND "${resources}" "/* Type: group icon\n\n   Name: 1.  */" at)
if(at EQUAL -1)
  string(APPEND problems "  missing icon group 1\n")
endif()
foreach(escape 020 024 030 040 050 060 100 200 000)
  expect("\"\\${escape}\\${escape}\\000\\000\", 1, 32," resources "32-bit icon image (octal ${escape})")
endforeach()
string(REGEX MATCHALL "Element no [0-9]+" elements "${resources}")
list(LENGTH elements count)
if(NOT count EQUAL 9)
  string(APPEND problems "  icon group has ${count} images, not 9\n")
endif()

expect("FILEVERSION 1, 0, 0, 0" resources "file version")
expect("PRODUCTVERSION 1, 0, 0, 0" resources "product version")
expect("VALUE \"CompanyName\", \"Corvalis\"" resources "company name")
expect("VALUE \"ProductName\", \"Corvalis\"" resources "product name")
expect("VALUE \"FileDescription\", \"Corvalis Setup\"" resources "file description")
expect("VALUE \"InternalName\", \"CorvalisSetup\"" resources "internal name")
expect("VALUE \"FileVersion\", \"1.0.0.0\"" resources "file version string")
expect("VALUE \"ProductVersion\", \"1.0.0.0\"" resources "product version string")

if(problems)
  message(FATAL_ERROR "${PROGRAM}:\n${problems}")
endif()
