# The disk layer of images: container formats told by content, and partition tables.
add_executable(fuzz_image_disk ${PROJECT_SOURCE_DIR}/tests/image/disk/fuzz_partitions.cpp)
target_link_libraries(fuzz_image_disk PRIVATE torvo_image)
target_link_options(fuzz_image_disk PRIVATE -fsanitize=fuzzer)

# Seeds made afresh at test time, in a folder of their own (fuzz_corpus empties its
# own): small disks with an MBR and logical partitions, a hybrid MBR, a GPT, the same
# GPT with its primary header damaged, and the boot sectors of volumes without a table.
add_test(NAME fuzz_image_disk_corpus
         COMMAND sh -c [=[
set -eu
dir=$1
rm -rf "$dir"
mkdir -p "$dir"
sfdisk="sfdisk -q --no-reread --no-tell-kernel"
truncate -s 300K "$dir/mbr"
$sfdisk "$dir/mbr" <<EOF
label: dos
grain: 512
start=4, size=100, type=1
start=110, size=400, type=5
start=120, size=50, type=7
start=180, size=50, type=83
start=240, size=200, type=c
start=520, size=50, type=6
EOF
mkfs.fat -F 12 --offset=4 "$dir/mbr" 50 >/dev/null 2>&1
cp "$dir/mbr" "$dir/hybrid"
printf '\356' | dd of="$dir/hybrid" bs=1 seek=$((446 + 48 + 4)) conv=notrunc status=none
truncate -s 200K "$dir/gpt"
$sfdisk "$dir/gpt" <<EOF
label: gpt
grain: 512
first-lba: 34
table-length: 4
start=40, size=100, type=EBD0A0A2-B9C5-4433-87C0-68B6B7264A4F
start=150, size=100, type=E3C9E316-0B5C-4DB8-817D-F92DF00215AE
EOF
cp "$dir/gpt" "$dir/gpt_backup"
printf '\377' | dd of="$dir/gpt_backup" bs=1 seek=530 conv=notrunc status=none
mkfs.fat -C "$dir/floppy" 160 >/dev/null 2>&1
mkfs.fat -F 32 -s 1 -C "$dir/fat32.full" 34000 >/dev/null 2>&1
head -c 4096 "$dir/fat32.full" >"$dir/fat32"
truncate -s 2M "$dir/ntfs.full"
mkntfs -q -F -Q -s 512 "$dir/ntfs.full" >/dev/null 2>&1
head -c 4096 "$dir/ntfs.full" >"$dir/ntfs"
rm "$dir/fat32.full" "$dir/ntfs.full"
]=]
                 sh ${CMAKE_CURRENT_BINARY_DIR}/corpus_image_disk)
set_tests_properties(fuzz_image_disk_corpus PROPERTIES FIXTURES_SETUP fuzz_image_disk_corpus
                                                       LABELS fuzz)

add_test(NAME fuzz_image_disk
         COMMAND fuzz_image_disk -max_total_time=30 -rss_limit_mb=2048
                 ${CMAKE_CURRENT_BINARY_DIR}/corpus_image_disk)
set_tests_properties(fuzz_image_disk PROPERTIES FIXTURES_REQUIRED fuzz_image_disk_corpus
                                                LABELS fuzz TIMEOUT 300)
