# Adds the build stamp to a built library: a non-allocated ELF section "KyVersion" holding one line,
# "MAJOR.MINOR.PATCH.BUILD MM/DD/YY HH:MM:SS" and a line feed. string(TIMESTAMP) honours
# SOURCE_DATE_EPOCH, so reproducible builds get a fixed stamp.
# Usage: cmake -DLIBRARY=<file> -DVERSION=<a.b.c.d> -DOBJCOPY=<objcopy> -P KyVersionStamp.cmake
string(TIMESTAMP stamp_time "%m/%d/%y %H:%M:%S" UTC)
set(stamp_file "${LIBRARY}.kyversion")
file(WRITE "${stamp_file}" "${VERSION} ${stamp_time}\n")
execute_process(
  COMMAND "${OBJCOPY}" --remove-section KyVersion --add-section "KyVersion=${stamp_file}"
          --set-section-flags KyVersion=readonly "${LIBRARY}"
  RESULT_VARIABLE result)
file(REMOVE "${stamp_file}")
if(NOT result EQUAL 0)
  message(FATAL_ERROR "could not add the KyVersion section to ${LIBRARY}")
endif()
