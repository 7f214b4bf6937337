#!/usr/bin/python3
"""Checks every line of a file (or standard input) against qvctl's JSON schema.

usage: check_json.py [--definition NAME] SCHEMA [FILE]
With --definition, the lines are checked against that one definition (e.g.
"serve request") instead of the whole schema. Prints one line per problem and
exits 1 when there is any.
"""
import json
import sys

import jsonschema


def main():
    args = sys.argv[1:]
    definition = None
    if args[:1] == ["--definition"]:
        definition, args = args[1], args[2:]
    with open(args[0]) as f:
        schema = json.load(f)
    jsonschema.Draft7Validator.check_schema(schema)
    if definition is not None:
        if definition not in schema["definitions"]:
            print(f"no definition {definition!r} in {args[0]}")
            return 1
        schema = {"$ref": "#/definitions/" + definition, "definitions": schema["definitions"]}
    validator = jsonschema.Draft7Validator(schema)
    text = open(args[1], encoding="utf-8") if len(args) > 1 else sys.stdin
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
