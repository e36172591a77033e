# scripts/merge_report.py on matrices run through the real tools. Needs
# numpy, scipy and matplotlib for /usr/bin/python3 (Debian packages); the
# test program exits with 77, a skip, without them. The checks on real files
# stand apart from those on generated data, so that a clone without the
# corpus shows them as skipped; -v prints the reason of a skip.
function(add_merge_report_test name selection)
  add_test(NAME MergeReport.${name}
           COMMAND /usr/bin/python3 ${CMAKE_CURRENT_SOURCE_DIR}/merge_report_test.py
                   ${CMAKE_BINARY_DIR} ${CMAKE_BINARY_DIR}/test-scratch/MergeReport.${name} ${CORPUS_DIR}
                   -v ${selection})
  set_tests_properties(MergeReport.${name} PROPERTIES SKIP_RETURN_CODE 77
                       SKIP_REGULAR_EXPRESSION "\\.\\.\\. skipped '" TIMEOUT 900)
endfunction()
add_merge_report_test(HandTrees HandTrees)
add_merge_report_test(BestCut BestCut)
add_merge_report_test(Refusals Refusals)
add_merge_report_test(GeneratedData RealData.test_generated_sample)
add_merge_report_test(CorpusData RealData.test_corpus_files)
