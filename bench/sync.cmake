# The sync plan of a library of 10,000 files in 1,000 album folders against a full player, cold
# and with the metadata cache warm. Not run by the tests: `build/.../bin/bench_sync`.
add_executable(bench_sync ${CMAKE_CURRENT_LIST_DIR}/bench_sync.cpp)
target_link_libraries(bench_sync PRIVATE tunara_sync)
target_compile_definitions(bench_sync PRIVATE TUNARA_SOX="${SOX_EXECUTABLE}")
