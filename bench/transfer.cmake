# Transfer throughput of the library against a raw bulk loop over the same USB/IP link. Not run
# by the tests: `build/.../bin/bench_transfer` (starts its own tunara-vplayer from the same folder).
add_executable(bench_transfer ${CMAKE_CURRENT_LIST_DIR}/bench_transfer.cpp)
target_link_libraries(bench_transfer PRIVATE kestousb_core tunara_test_support)
add_dependencies(bench_transfer tunara-vplayer)
