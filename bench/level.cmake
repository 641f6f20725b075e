# Volume levelling: the lossless MP3 rewrite with its analysis decode against real time, and the
# loudness meter's cost on a conversion's decode. Not run by the tests: `build/.../bin/bench_level`
# (needs sox and lame to make its files).
add_executable(bench_level ${CMAKE_CURRENT_LIST_DIR}/bench_level.cpp)
target_link_libraries(bench_level PRIVATE tunara_convert)
target_compile_definitions(bench_level PRIVATE TUNARA_SOX="${SOX_EXECUTABLE}"
                                               TUNARA_LAME="${LAME_EXECUTABLE}")
