# scripts/merge_report.py on matrices run through the real tools. Needs
# numpy, scipy and matplotlib for /usr/bin/python3 (Debian packages); the
# test program exits with 77, a skip, without them.
foreach(group HandTrees BestCut Refusals RealData)
  add_test(NAME MergeReport.${group}
           COMMAND /usr/bin/python3 ${CMAKE_CURRENT_SOURCE_DIR}/merge_report_test.py
                   ${CMAKE_BINARY_DIR} ${CMAKE_BINARY_DIR}/test-scratch/${group} ${CORPUS_DIR} ${group})
  set_tests_properties(MergeReport.${group} PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 900)
endforeach()
