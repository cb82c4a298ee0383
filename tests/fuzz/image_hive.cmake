# The SYSTEM hive's restart list and drive letters (platform/image/windows_list.cpp, through
# libhivex) over arbitrary bytes. Its seeds are hives made by samplegen (tests/fuzz/seeds/
# hive_*), copied afresh: libFuzzer adds new inputs to its corpus directory.
add_executable(fuzz_image_hive fuzz_image_hive.cpp)
target_link_libraries(fuzz_image_hive PRIVATE torvo_image)
target_link_options(fuzz_image_hive PRIVATE -fsanitize=fuzzer)

add_test(NAME fuzz_image_hive_corpus
         COMMAND sh -c [=[set -e; rm -rf "$1"; mkdir -p "$1"; cp "$2"/hive_* "$1"/]=] sh
                 ${CMAKE_CURRENT_BINARY_DIR}/image_hive ${CMAKE_CURRENT_SOURCE_DIR}/seeds)
set_tests_properties(fuzz_image_hive_corpus PROPERTIES FIXTURES_SETUP fuzz_image_hive_corpus
                                                       LABELS fuzz)
add_test(NAME fuzz_image_hive
         COMMAND fuzz_image_hive -max_total_time=30 -rss_limit_mb=2048 -max_len=65536 -timeout=10
                 ${CMAKE_CURRENT_BINARY_DIR}/image_hive)
set_tests_properties(fuzz_image_hive PROPERTIES FIXTURES_REQUIRED fuzz_image_hive_corpus
                                                LABELS fuzz TIMEOUT 300)
