#!/bin/bash
# Runs every merlo command line of the manual's EXAMPLES and of README.md's
# shell blocks, as written, against copies of the demo device in a scratch
# folder. Fails on a shell syntax error or a status other than 0.
#   doc_examples.sh SOURCE_DIR MERLO_DIR SCRATCH
# HOME is the scratch folder's home/, so that ~ stays inside it; "D" in the
# README is a copy of the demo device with the entries its examples name.
# The adaptations are printed with each command that needs one.
set -u
source_dir=$1
merlo_dir=$2
scratch=$3

rm -rf "$scratch"
mkdir -p "$scratch/home/photos" "$scratch/tmp"
cd "$scratch" || exit 2
mkdir demo
cp -r "$source_dir/demo/device" demo/device
cp -r "$source_dir/demo/device" D
mkdir -p D/Temp D/Backup
echo a > D/a.txt
echo old > D/Temp/old.txt
echo kept > D/Backup/b.txt
echo photo > home/photos/p.jpg
printf 'cd Windows\nls\n-rm nosuch.txt\n' > script.txt
export HOME=$scratch/home
export PATH=$merlo_dir:$PATH
unset MERLO_DEVICE_FAULTS MERLO_DEVICE_ROOT

examples=$scratch/examples.txt
# The manual: the lines between .nf and .fi after .SH EXAMPLES, unescaped.
sed -n '/^\.SH EXAMPLES/,/^\.SH /{/^\.nf/,/^\.fi/{/^\.[nf][fi]$/!p}}' "$source_dir/shell/merlo.1" |
  sed -e 's/\\-/-/g' -e 's/\\e/\\/g' > "$examples"
manual=$(wc -l < "$examples")
# README.md: the lines of ```sh blocks that run merlo.
awk '/^```sh$/ {inside = 1; next} /^```/ {inside = 0} inside' "$source_dir/README.md" |
  grep -E '^merlo |\| *merlo ' >> "$examples"
total=$(wc -l < "$examples")
if [ "$manual" -lt 3 ] || [ "$total" -le "$manual" ]; then
  echo "found $manual examples in the manual and $((total - manual)) in README.md: too few"
  exit 1
fi

passed=0
failed=0
while IFS= read -r line; do
  command=$line
  # Writing to /tmp would reach outside the scratch folder.
  command=${command//\/tmp/$scratch\/tmp}
  [ "$command" != "$line" ] && echo "adapted: /tmp is $scratch/tmp"
  if [[ $line =~ ^merlo\ --device\ [^\ ]+\ *(#.*)?$ ]]; then
    echo "adapted: no terminal; standard input is empty, so the shell starts and ends"
  fi
  echo "\$ $line"
  if ! bash -n -c "$command" 2> syntax.txt; then
    echo "FAILED: a shell syntax error: $(cat syntax.txt)"
    failed=$((failed + 1))
    continue
  fi
  # Standard input is empty: the bare shell example reads no command and ends.
  bash -c "$command" < /dev/null > out.txt 2>&1
  status=$?
  if [ $status -ne 0 ]; then
    echo "FAILED: status $status"
    cat out.txt
    failed=$((failed + 1))
  else
    passed=$((passed + 1))
  fi
done < "$examples"
echo "$passed passed, $failed failed"
[ $failed -eq 0 ]
