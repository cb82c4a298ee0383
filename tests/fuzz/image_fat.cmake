# The FAT reader and writer over arbitrary bytes. Its seeds are images made at test time by
# mkfs.fat and mtools, with their zeros at the end cut off (the fuzzer reads them back as
# zeros up to the size the boot sector claims).
add_executable(fuzz_image_fat fuzz_image_fat.cpp)
target_link_libraries(fuzz_image_fat PRIVATE torvo_image)
target_link_options(fuzz_image_fat PRIVATE -fsanitize=fuzzer)

add_test(NAME fuzz_image_fat_corpus
         COMMAND sh -c [=[
set -e
dir=$1
rm -rf "$dir"
mkdir -p "$dir/seeds" "$dir/work"
export MTOOLS_SKIP_CHECK=1 LC_ALL=C.UTF-8
printf 'hello\n' > "$dir/work/hello.txt"
head -c 3000 /dev/zero | tr '\0' 'x' > "$dir/work/three.bin"
make_seed() {
  name=$1; shift
  image=$dir/work/$name.img
  rm -f "$image"
  truncate -s "$1" "$image"; shift
  mkfs.fat "$@" "$image" > /dev/null
  mmd -i "$image" ::/Sub ::/Sub/Deeper
  mcopy -i "$image" "$dir/work/hello.txt" "::/Long file name.txt"
  mcopy -i "$image" "$dir/work/hello.txt" ::/README.TXT
  mcopy -i "$image" "$dir/work/three.bin" "::/Sub/Deeper/Three clusters.bin"
  mattrib -i "$image" +h +r ::/README.TXT
  # Cut off the zeros at the end.
  perl -0777 -pe 's/\0+\z//' "$image" > "$dir/seeds/$name"
}
make_seed fat12 200K -F 12 -s 1 -r 16
make_seed fat16 2200K -F 16 -s 1 -r 16
make_seed fat32 33M -F 32 -s 1 -f 1
]=]
                 sh ${CMAKE_CURRENT_BINARY_DIR}/image_fat)
set_tests_properties(fuzz_image_fat_corpus PROPERTIES FIXTURES_SETUP fuzz_image_fat_corpus
                                                      LABELS fuzz)
add_test(NAME fuzz_image_fat
         COMMAND fuzz_image_fat -max_total_time=30 -rss_limit_mb=2048 -max_len=1048576
                 -timeout=10 ${CMAKE_CURRENT_BINARY_DIR}/image_fat/seeds)
set_tests_properties(fuzz_image_fat PROPERTIES FIXTURES_REQUIRED fuzz_image_fat_corpus
                                               LABELS fuzz TIMEOUT 300)
