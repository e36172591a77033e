# The built programs on bad input, end to end (see hardening_test.cpp and
# morvalen_hardening_test.cpp; what they share is in hardening_support.h).
find_package(Threads REQUIRED)
add_library(hardening_support STATIC hardening_support.cpp)
target_link_libraries(hardening_support PUBLIC test_support GTest::gtest)
add_unit_test(hardening_test hardening_test.cpp LIBS hardening_support Threads::Threads)
add_dependencies(hardening_test blockcode morvalen remix)
add_unit_test(morvalen_hardening_test morvalen_hardening_test.cpp LIBS hardening_support Threads::Threads)
add_dependencies(morvalen_hardening_test morvalen)
