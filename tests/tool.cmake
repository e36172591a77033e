# What every program shares: command lines, the progress line on a terminal,
# and the installed tree with its man pages.
add_unit_test(command_line_test command_line_test.cpp)
add_dependencies(command_line_test blockcode morvalen remix make_sample)
add_unit_test(progress_test progress_test.cpp)
add_dependencies(progress_test blockcode morvalen)
if(TARGET bwt)
  add_dependencies(command_line_test bwt)
  add_dependencies(progress_test bwt)
endif()
add_unit_test(install_test install_test.cpp)
add_dependencies(install_test programs)
target_compile_definitions(install_test PRIVATE CMAKE_COMMAND="${CMAKE_COMMAND}")
