# Tests of blockcode: the encoder and its arithmetic paths, the block coder,
# and the program itself.
add_unit_test(range_encoder_test range_encoder_test.cpp LIBS blockcode_core)
add_unit_test(block_coder_test block_coder_test.cpp blockcode_reference.cpp LIBS blockcode_core)
add_unit_test(blockcode_cli_test blockcode_cli_test.cpp blockcode_reference.cpp LIBS blockcode_core)
add_dependencies(blockcode_cli_test blockcode)
