# How the programs replace their outputs (commit_test.cpp), and every file
# operation of the programs made to fail in turn: a shim preloaded into them
# (fault_shim.cpp) and the sweep that drives it (fault_injection_test.cpp).
find_package(Threads REQUIRED)
add_library(fault_shim MODULE fault_shim.cpp)
target_link_libraries(fault_shim PRIVATE ${CMAKE_DL_LIBS} Threads::Threads)
set_target_properties(fault_shim PROPERTIES LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)

add_unit_test(fault_injection_test fault_injection_test.cpp)
target_compile_definitions(fault_injection_test PRIVATE FAULT_SHIM="$<TARGET_FILE:fault_shim>")
add_dependencies(fault_injection_test fault_shim blockcode morvalen remix make_sample)
if(TARGET bwt)
  add_dependencies(fault_injection_test bwt)
endif()

add_unit_test(commit_test commit_test.cpp)
add_dependencies(commit_test blockcode morvalen)
