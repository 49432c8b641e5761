# Sourced by the scripts that install the module as a user would, with
# $python, $venv and $checkout set: makes a fresh virtual environment $venv,
# moves into it, away from the checkout, so that only an installed module can be
# imported, and leaves on the PATH only the environment's own programs. With
# no C or C++ compiler there (checked), nothing can be compiled on the way.
# shellcheck shell=sh
: "${python:?the sourcing script sets python}" "${venv:?the sourcing script sets venv}" \
    "${checkout:?the sourcing script sets checkout}"
rm -rf "$venv"
"$python" -m venv "$venv"
cd "$venv" || exit 1
PATH=$(pwd)/bin
export PATH
for compiler in cc c++ gcc g++ clang clang++; do
    if command -v "$compiler" >/dev/null; then
        echo "${0##*/}: a compiler is on the PATH: $(command -v "$compiler")" >&2
        exit 1
    fi
done
echo "${0##*/}: PATH=$PATH; no cc, c++, gcc, g++, clang or clang++ on it"
python -m pip install --quiet --upgrade -r "$checkout/pip-requirements.txt"
