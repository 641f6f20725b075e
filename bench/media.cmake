# CheckMpegHeader against TagLib's MPEG properties read on the same encoded files, in one run.
# Not run by the tests: `build/.../bin/bench_media` (needs lame and sox to make its files).
add_executable(bench_media ${CMAKE_CURRENT_LIST_DIR}/bench_media.cpp)
target_link_libraries(bench_media PRIVATE tunara_media benchmark::benchmark PkgConfig::TAGLIB)
target_compile_definitions(bench_media PRIVATE TUNARA_LAME="${LAME_EXECUTABLE}"
                                               TUNARA_SOX="${SOX_EXECUTABLE}")
