"""Builds the package's wheel from its sources with the standard library
alone, outside the source tree: `pip install qvtools-*.whl` then works
offline with any Python 3.9+, with no build backend (setuptools, wheel) and
no build files written beside the sources.

usage: make_wheel.py PYTHON_SOURCE_DIR OUT_DIR   (prints the wheel's path)"""
import base64
import hashlib
import os
import re
import sys
import tomllib
import zipfile


def record_line(name: str, data: bytes) -> str:
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{name},sha256={digest},{len(data)}"


def main() -> None:
    src, out = sys.argv[1], sys.argv[2]
    with open(os.path.join(src, "pyproject.toml"), "rb") as f:
        project = tomllib.load(f)["project"]
    package = project["name"]
    with open(os.path.join(src, package, "__init__.py"), encoding="utf-8") as f:
        version = re.search(r'^__version__ = "([^"]+)"', f.read(), re.M).group(1)
    with open(os.path.join(src, project["readme"]), encoding="utf-8") as f:
        readme = f.read()

    meta = ["Metadata-Version: 2.1", f"Name: {package}", f"Version: {version}",
            f"Summary: {project['description']}", f"Requires-Python: {project['requires-python']}",
            f"License: {project['license']['text']}"]
    meta += [f"Author: {a['name']}" for a in project.get("authors", [])]
    meta += [f"Keywords: {','.join(project.get('keywords', []))}"]
    meta += [f"Classifier: {c}" for c in project.get("classifiers", [])]
    meta += ["Description-Content-Type: text/markdown", "", readme]
    dist_info = f"{package}-{version}.dist-info"
    files = []
    for name in sorted(os.listdir(os.path.join(src, package))):
        if name.endswith(".py") or name == "py.typed":
            with open(os.path.join(src, package, name), "rb") as f:
                files.append((f"{package}/{name}", f.read()))
    files.append((f"{dist_info}/METADATA", "\n".join(meta).encode("utf-8")))
    files.append((f"{dist_info}/WHEEL", b"Wheel-Version: 1.0\nGenerator: qvtools make_wheel\n"
                                        b"Root-Is-Purelib: true\nTag: py3-none-any\n"))
    files.append((f"{dist_info}/top_level.txt", f"{package}\n".encode()))
    record = "\n".join([record_line(n, d) for n, d in files] + [f"{dist_info}/RECORD,,", ""])

    os.makedirs(out, exist_ok=True)
    wheel = os.path.join(out, f"{package}-{version}-py3-none-any.whl")
    partial = wheel + ".part"
    with zipfile.ZipFile(partial, "w", zipfile.ZIP_DEFLATED) as z:
        for name, data in files + [(f"{dist_info}/RECORD", record.encode())]:
            # Fixed times: the same sources make the same wheel.
            info = zipfile.ZipInfo(name, date_time=(1980, 1, 1, 0, 0, 0))
            info.external_attr = 0o644 << 16
            info.compress_type = zipfile.ZIP_DEFLATED
            z.writestr(info, data)
    os.replace(partial, wheel)
    print(wheel)


if __name__ == "__main__":
    main()
