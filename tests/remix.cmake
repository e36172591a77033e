add_unit_test(remix_test remix_test.cpp LIBS remix_core)
