#!/bin/sh
# The house's order, checked: the folders found, each include resolved as
# the compiler would, each link line read (tests/check_layers.py says how).
# Usage: tests/check_layers.sh [SOURCE_DIR]
#        tests/check_layers.sh --self-test [SOURCE_DIR]
exec /usr/bin/python3 "$(dirname "$0")/check_layers.py" "$@"
