# The fast pass scans against the direct ones.
add_unit_test(morvalen_fast_test morvalen_fast_test.cpp LIBS morvalen_core)
add_unit_test(morvalen_fast_tool_test morvalen_fast_tool_test.cpp)
add_dependencies(morvalen_fast_tool_test morvalen morvalen_direct)
add_unit_test(morvalen_bounds_test morvalen_bounds_test.cpp LIBS morvalen_core)
# The worker threads' batches.
add_unit_test(worker_pool_test worker_pool_test.cpp LIBS morvalen_core)
# The engine as a value: side by side runs, invariants, dispatch.
add_unit_test(morvalen_engine_test morvalen_engine_test.cpp LIBS morvalen_core)
