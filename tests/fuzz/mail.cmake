# The mail readers (platform/mail) over arbitrary bytes: a message, an mbox and the head of
# a file in one target, .dbx folders in the other. Their seeds (tests/fuzz/seeds/mail_*,
# mbox_*, dbx_*) are made by samplegen and copied afresh: libFuzzer adds new inputs to its
# corpus directory.
add_executable(fuzz_mail_message fuzz_mail_message.cpp)
target_link_libraries(fuzz_mail_message PRIVATE torvo_mail)
target_link_options(fuzz_mail_message PRIVATE -fsanitize=fuzzer)
add_executable(fuzz_dbx fuzz_dbx.cpp)
target_link_libraries(fuzz_dbx PRIVATE torvo_mail)
target_link_options(fuzz_dbx PRIVATE -fsanitize=fuzzer)

add_test(NAME fuzz_mail_corpus
         COMMAND sh -c [=[
set -e
rm -rf "$1/mail_message" "$1/dbx"
mkdir -p "$1/mail_message" "$1/dbx"
cp "$2"/mail_* "$2"/mbox_* "$1/mail_message"/
cp "$2"/dbx_* "$1/dbx"/
]=]
                 sh ${CMAKE_CURRENT_BINARY_DIR}/corpus_mail ${CMAKE_CURRENT_SOURCE_DIR}/seeds)
set_tests_properties(fuzz_mail_corpus PROPERTIES FIXTURES_SETUP fuzz_mail_corpus LABELS fuzz)
foreach(fuzzer mail_message dbx)
  add_test(NAME fuzz_${fuzzer}
           COMMAND fuzz_${fuzzer} -max_total_time=30 -rss_limit_mb=2048 -max_len=65536
                   -timeout=10 ${CMAKE_CURRENT_BINARY_DIR}/corpus_mail/${fuzzer})
  set_tests_properties(fuzz_${fuzzer} PROPERTIES FIXTURES_REQUIRED fuzz_mail_corpus LABELS fuzz
                                                 TIMEOUT 300)
endforeach()
