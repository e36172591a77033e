# The built programs on bad input, end to end (see hardening_test.cpp).
find_package(Threads REQUIRED)
add_unit_test(hardening_test hardening_test.cpp LIBS Threads::Threads)
add_dependencies(hardening_test blockcode morvalen remix)
