# Sums an llvm-cov report (make coverage) by top folder: the share of lines
# and of branches covered in cbor/, encoder/ and module/.
#
#     awk -f scripts/coverage_by_folder.awk build/coverage/report.txt
$1 ~ /\// {
    split($1, path, "/")
    lines[path[1]] += $8
    missed[path[1]] += $9
    branches[path[1]] += $11
    branches_missed[path[1]] += $12
}
END {
    for (dir in lines)
        printf "%-9s lines %5.1f %% of %d   branches %5.1f %% of %d\n", dir "/",
            100 * (1 - missed[dir] / lines[dir]), lines[dir],
            100 * (1 - branches_missed[dir] / branches[dir]), branches[dir]
}
