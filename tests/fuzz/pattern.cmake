# The pattern fuzz target (include from tests/fuzz/CMakeLists.txt when
# TARN_FUZZ is on; the library must be built with -fsanitize=fuzzer-no-link).
add_executable(pattern_fuzz ${CMAKE_CURRENT_LIST_DIR}/pattern_fuzz.cpp)
target_link_libraries(pattern_fuzz PRIVATE tarncore)
target_link_options(pattern_fuzz PRIVATE -fsanitize=fuzzer)
