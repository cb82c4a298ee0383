# Archives and mailboxes looked into (app/linux/containers.cpp) over arbitrary bytes. Its
# seeds are archives of infected samples made afresh with zip, 7z and bsdtar, and the
# committed mail seeds.
add_executable(fuzz_container fuzz_container.cpp)
target_link_libraries(fuzz_container PRIVATE torvo_linux)
target_link_options(fuzz_container PRIVATE -fsanitize=fuzzer)

add_test(NAME fuzz_container_corpus
         COMMAND sh -c [=[
set -e
gen=$1 corpus=$2
rm -rf "$corpus" "$corpus.src"
mkdir -p "$corpus" "$corpus.src"
cd "$corpus.src"
"$gen" exe --variant a --host-size 3000 prog.exe
"$gen" exe --variant e --no-host worm.exe
"$gen" page page.htm
echo text >note.txt
zip -q "$corpus/seed.zip" prog.exe page.htm note.txt
zip -q "$corpus/worm.zip" worm.exe
bsdtar -czf "$corpus/seed.tar.gz" page.htm note.txt
bsdtar -cf "$corpus/seed.tar" worm.exe note.txt
! command -v 7z >/dev/null || 7z a -bd -bb0 "$corpus/seed.7z" page.htm note.txt >/dev/null
cp "$corpus/seed.zip" inner.zip && zip -q "$corpus/nested.zip" inner.zip note.txt
cp "$3"/mail_* "$3"/mbox_* "$3"/dbx_* "$corpus"/ 2>/dev/null || true
]=]
                 sh $<TARGET_FILE:samplegen> ${CMAKE_CURRENT_BINARY_DIR}/container
                 ${CMAKE_CURRENT_SOURCE_DIR}/seeds)
set_tests_properties(fuzz_container_corpus PROPERTIES FIXTURES_SETUP fuzz_container_corpus
                                                      LABELS fuzz)
add_test(NAME fuzz_container
         COMMAND fuzz_container -max_total_time=60 -rss_limit_mb=2048 -max_len=200000 -timeout=20
                 ${CMAKE_CURRENT_BINARY_DIR}/container)
set_tests_properties(fuzz_container PROPERTIES FIXTURES_REQUIRED fuzz_container_corpus
                                               LABELS fuzz TIMEOUT 300)
