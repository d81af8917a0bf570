# Runs in cpack after the zip is made and before its checksum is taken:
# rewrites the zip so that it depends on nothing but the files' contents.
foreach(package ${CPACK_PACKAGE_FILES})
  execute_process(
    COMMAND python3 ${CMAKE_CURRENT_LIST_DIR}/normalize_zip.py ${package} ${CPACK_NOSAVER_EPOCH}
    COMMAND_ERROR_IS_FATAL ANY)
endforeach()
