#!/bin/bash
# Every C++ file of the project as the root .clang-format lays it out; names
# each file that clang-format would change and fails on any.
cd "$(dirname "$0")/.."
scripts/install-deps.sh
status=0
for file in $(git ls-files '*.cpp' '*.h'); do
    if ! clang-format --dry-run --Werror "$file" >/dev/null 2>&1; then
        echo "not laid out as .clang-format says (clang-format -i $file)"
        status=1
    fi
done
[ "$status" = 0 ] && echo "layout: every C++ file as .clang-format lays it out"
exit $status
