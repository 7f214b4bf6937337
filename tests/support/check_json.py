#!/usr/bin/python3
"""Checks every line of a file (or standard input) against qvctl's JSON schema.

usage: check_json.py SCHEMA [FILE]
Prints one line per problem and exits 1 when there is any.
"""
import json
import sys

import jsonschema


def main():
    with open(sys.argv[1]) as f:
        schema = json.load(f)
    jsonschema.Draft7Validator.check_schema(schema)
    validator = jsonschema.Draft7Validator(schema)
    text = open(sys.argv[2], encoding="utf-8") if len(sys.argv) > 2 else sys.stdin
    bad = 0
    for number, line in enumerate(text, 1):
        try:
            obj = json.loads(line)
        except ValueError as e:
            print(f"line {number}: not JSON ({e}): {line.rstrip()}")
            bad += 1
            continue
        for error in validator.iter_errors(obj):
            where = "/".join(str(p) for p in error.absolute_path)
            print(f"line {number}: {where}: {error.message}: {line.rstrip()}")
            bad += 1
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
