# The tools run one after another on generated data (and on the corpus, when
# it is there): blockcode -> morvalen -> remix, with bwt in front.
add_unit_test(chain_test chain_test.cpp LIBS sample_data)
target_compile_definitions(chain_test PRIVATE SCRIPTS_DIR="${CMAKE_SOURCE_DIR}/scripts")

if(TARGET bwt_core)
  add_unit_test(bwt_test bwt_test.cpp LIBS bwt_core sample_data)
endif()
