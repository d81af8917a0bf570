# Runs in cpack after the zip is made and before its checksum is taken, so
# that the zip depends on nothing but the files' contents: strip-nondeterminism
# puts the entries in name order, gives each the fixed time (also in the
# extra fields, whose owner ids it zeroes) and plain 644 or 755 permissions.
foreach(package ${CPACK_PACKAGE_FILES})
  execute_process(
    COMMAND strip-nondeterminism --type zip --timestamp ${CPACK_NOSAVER_EPOCH} ${package}
    COMMAND_ERROR_IS_FATAL ANY)
endforeach()
